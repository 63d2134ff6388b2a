#include "host/midiparse.h"

size_t midiDataLength(uint8_t status) {
  if (status < 0xC0 || (status >= 0xE0 && status < 0xF0)) return 2;
  if (status < 0xE0) return 1;
  switch (status) {
    case 0xF1:
    case 0xF3: return 1;
    case 0xF2: return 2;
    default: return 0;
  }
}

void MidiParser::emitSysex() {
  emit(MidiMessage::SYSEX, sysex_.data(), sysex_.size());
  sysex_.clear();
  inSysex_ = false;
}

void MidiParser::feed(uint8_t b) {
  if (b >= 0xF8) {
    emit(MidiMessage::REALTIME, &b, 1);
    return;
  }
  if (b == 0xF0) {
    if (inSysex_) emitSysex();
    inSysex_ = true;
    sysex_.push_back(b);
    status_ = 0;
    return;
  }
  if (b == 0xF7) {
    if (inSysex_) {
      sysex_.push_back(b);
      emitSysex();
    } else {
      emit(MidiMessage::STRAY, &b, 1);
    }
    status_ = 0;
    return;
  }
  if (b & 0x80) {
    if (inSysex_) emitSysex();
    // System common messages cancel running status; channel messages set it.
    status_ = b;
    needed_ = midiDataLength(b);
    have_ = 0;
    if (needed_ == 0) {
      emit(MidiMessage::COMMON, &b, 1);
      status_ = 0;
    }
    return;
  }
  if (inSysex_) {
    sysex_.push_back(b);
    return;
  }
  if (status_ == 0) {
    emit(MidiMessage::STRAY, &b, 1);
    return;
  }
  message_[++have_] = b;
  if (have_ < needed_) return;
  message_[0] = status_;
  have_ = 0;
  if (status_ >= 0xF0) {
    status_ = 0;
    emit(MidiMessage::COMMON, message_, needed_ + 1);
  } else {
    emit(MidiMessage::CHANNEL, message_, needed_ + 1);
  }
}

void MidiParser::feed(const uint8_t* p, size_t size) {
  size_t i = 0;
  while (i < size) {
    uint8_t b = p[i];
    if (!inSysex_ && b >= 0x80 && b < 0xF0) {
      // A channel message with its status and every data byte in the stretch.
      size_t needed = midiDataLength(b);
      if (i + needed < size && p[i + 1] < 0x80 && (needed == 1 || p[i + 2] < 0x80)) {
        status_ = b;
        needed_ = needed;
        have_ = 0;
        emit(MidiMessage::CHANNEL, p + i, needed + 1);
        i += needed + 1;
        continue;
      }
    } else if (!inSysex_ && b == 0xF0) {
      // A whole system-exclusive buffer, without real-time bytes inside.
      size_t end = i + 1;
      while (end < size && p[end] < 0x80) ++end;
      if (end < size && p[end] == 0xF7) {
        status_ = 0;
        emit(MidiMessage::SYSEX, p + i, end + 1 - i);
        i = end + 1;
        continue;
      }
    }
    feed(b);
    ++i;
  }
}

const char* midiMessageName(const MidiMessage& m) {
  if (m.kind == MidiMessage::SYSEX) return m.bytes[m.size - 1] == 0xF7 ? "sysex" : "sysex-cut";
  if (m.kind == MidiMessage::STRAY) return "stray";
  static const char* const channel[] = {"note-off",       "note-on",          "key-pressure", "control-change",
                                        "program-change", "channel-pressure", "pitch-bend"};
  uint8_t s = m.bytes[0];
  if (s < 0xF0) return channel[(s >> 4) - 8];
  static const char* const system[] = {
      "sysex", "mtc-quarter", "song-position", "song-select", "undefined", "undefined", "tune-request",   "eox",
      "clock", "undefined",   "start",         "continue",    "stop",      "undefined", "active-sensing", "reset"};
  return system[s - 0xF0];
}
