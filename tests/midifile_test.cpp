// The player's Standard MIDI File reader against a corpus of malformed and
// unusual files: each is refused with its cause or read into a bounded list of
// events in time order, as other players read it.
#include <math.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "midifile_corpus.h"
#include "tools/midifile.h"

namespace midicorpus {
namespace {

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes text(const char* s) { return Bytes(s, s + strlen(s)); }

// A chunk whose length field says `length`, whatever it holds.
Bytes chunkSaying(const char* id, uint32_t length, const Bytes& data) {
  Bytes out(id, id + 4);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back((unsigned char)(length >> shift));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes chunk(const char* id, const Bytes& data) { return chunkSaying(id, (uint32_t)data.size(), data); }

Bytes header(int format, int tracks, int division) {
  return chunk("MThd", {0, (unsigned char)format, (unsigned char)(tracks >> 8), (unsigned char)tracks,
                        (unsigned char)(division >> 8), (unsigned char)division});
}

// A file of the tracks at 96 pulses a quarter note.
Bytes smf(int format, std::initializer_list<Bytes> tracks) {
  Bytes out = header(format, (int)tracks.size(), 96);
  for (const Bytes& t : tracks) out = cat({out, chunk("MTrk", t)});
  return out;
}

Bytes riffChunk(const char* id, const Bytes& data) {
  Bytes out(id, id + 4);
  for (int shift = 0; shift < 32; shift += 8) out.push_back((unsigned char)(data.size() >> shift));
  out.insert(out.end(), data.begin(), data.end());
  if (data.size() & 1) out.push_back(0);
  return out;
}

const Bytes kEnd = {0x00, 0xFF, 0x2F, 0x00};
// Middle C for a quarter note: "0:90 3C 40 | 96:80 3C 00".
const Bytes kNote = {0x00, 0x90, 0x3C, 0x40, 0x60, 0x80, 0x3C, 0x00};
const char* const kNoteEvents = "0:90 3C 40 | 96:80 3C 00";

std::vector<Case> makeCases() {
  const char* refused = "refused";
  std::vector<Case> c = {
      // Refused, each with its cause.
      {refused, "empty", {}, "not a Standard MIDI File: no MThd header"},
      {refused, "wav", riffChunk("RIFF", cat({text("WAVE"), riffChunk("fmt ", Bytes(16))})), "no MThd header"},
      {refused, "text", text("this is no MIDI file\n"), "no MThd header"},
      {refused, "mthd-only", text("MThd"), "the MThd header is cut short"},
      {refused, "mthd-short", {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0}, "the MThd header is cut short"},
      {refused, "header-length-2", cat({chunkSaying("MThd", 2, {0, 0, 0, 1, 0, 96}), chunk("MTrk", kEnd)}),
       "says it is 2 bytes long; it must be at least 6"},
      {refused, "no-track", header(0, 1, 96), "no track"},
      {refused, "unknown-chunks-only", cat({header(1, 1, 96), chunk("XFIH", text("abcd")), chunk("MTRK", kNote)}),
       "no track"},
      {refused, "smpte-25", cat({header(0, 1, 0xE728), chunk("MTrk", kNote)}),
       "SMPTE frames (25 frames a second, 40 ticks a frame)"},
      {refused, "smpte-30", cat({header(0, 1, 0xE250), chunk("MTrk", kNote)}),
       "SMPTE frames (30 frames a second, 80 ticks a frame)"},
      {refused, "division-0", cat({header(0, 1, 0), chunk("MTrk", kNote)}), "division is 0 pulses a quarter note"},
      {refused, "format-3", cat({header(3, 1, 96), chunk("MTrk", kNote)}), "format 3, which is none of 0, 1 and 2"},
      {refused, "rmid-without-data", riffChunk("RIFF", cat({text("RMID"), riffChunk("LIST", text("INFOx"))})),
       "a RIFF MIDI file without a data chunk"},

      // Track chunks: what is there is read.
      {"track", "no-end-of-track", smf(0, {kNote}), nullptr, kNoteEvents, "track 1 has no End-of-Track", 0.5},
      {"track", "no-end-of-track-then-track", smf(1, {kNote, cat({{0x00, 0x91, 0x40, 0x40}, kEnd})}), nullptr,
       "0:90 3C 40 | 0:91 40 40 | 96:80 3C 00", "track 1 has no End-of-Track"},
      {"track", "length-beyond-file", cat({header(0, 1, 96), chunkSaying("MTrk", 1000, cat({kNote, kEnd}))}), nullptr,
       kNoteEvents, "track 1 says it holds 1000 bytes; the file ends 12 bytes into it"},
      {"track", "length-beyond-file-inside-an-event",
       cat({header(0, 1, 96), chunkSaying("MTrk", 1000, {0x00, 0x90, 0x3C, 0x40, 0x60, 0x80, 0x3C})}), nullptr,
       "0:90 3C 40", "track 1 is cut short in its event at byte 4"},
      {"track", "length-0-then-events", cat({header(0, 1, 96), chunkSaying("MTrk", 0, {}), kNote, kEnd}), nullptr,
       kNoteEvents, "track 1 says its length is 0 but events follow"},
      {"track", "length-0-then-track", smf(1, {{}, cat({kNote, kEnd})}), nullptr, kNoteEvents,
       "track 1 has no End-of-Track"},
      {"track", "unknown-chunk-between-tracks",
       cat({header(1, 2, 96), chunk("MTrk", cat({kNote, kEnd})), chunk("XFIH", text("abcd")),
            chunk("MTrk", cat({{0x00, 0x91, 0x40, 0x40}, kEnd}))}),
       nullptr, "0:90 3C 40 | 0:91 40 40 | 96:80 3C 00"},
      {"track", "unknown-chunk-beyond-file", cat({smf(0, {cat({kNote, kEnd})}), chunkSaying("junk", 5000, text("xx"))}),
       nullptr, kNoteEvents},
      {"track", "long-header", cat({chunk("MThd", {0, 0, 0, 1, 0, 96, 1, 2, 3, 4}), chunk("MTrk", cat({kNote, kEnd}))}),
       nullptr, kNoteEvents},
      {"track", "header-names-more-tracks", cat({header(1, 5, 96), chunk("MTrk", cat({kNote, kEnd}))}), nullptr,
       kNoteEvents, "the header says 5 tracks; the file holds 1"},
      {"track", "garbage-after-the-last-track", cat({smf(0, {cat({kNote, kEnd})}), {1, 2, 3}}), nullptr, kNoteEvents},
      {"track", "events-after-end-of-track", smf(0, {cat({kNote, kEnd, {0x00, 0x90, 0x3E, 0x40}})}), nullptr,
       kNoteEvents},
      {"track", "cut-inside-a-delta-time", smf(0, {{0x00, 0x90, 0x3C, 0x40, 0x81}}), nullptr, "0:90 3C 40",
       "track 1 is cut short in its event at byte 4"},
      {"track", "rmid",
       riffChunk("RIFF", cat({text("RMID"), riffChunk("LIST", text("INFOx")),
                              riffChunk("data", smf(0, {cat({kNote, kEnd})}))})),
       nullptr, kNoteEvents},

      // Running status: the status byte comes back into every message; data
      // bytes without a status in effect are skipped, a byte at a time.
      {"running status", "running-notes",
       smf(0, {cat({{0x00, 0x90, 0x3C, 0x40, 0x10, 0x3E, 0x40, 0x10, 0x3C, 0x00, 0x10, 0x3E, 0x00}, kEnd})}), nullptr,
       "0:90 3C 40 | 16:90 3E 40 | 32:90 3C 00 | 48:90 3E 00"},
      {"running status", "running-one-data-byte",
       smf(0, {cat({{0x00, 0xC0, 0x05, 0x10, 0x06, 0x00, 0xD0, 0x20, 0x10, 0x30}, kEnd})}), nullptr,
       "0:C0 05 | 16:C0 06 | 16:D0 20 | 32:D0 30"},
      {"running status", "running-after-sysex",
       smf(0, {cat({{0x00, 0x90, 0x3C, 0x40, 0x00, 0xF0, 0x02, 0x7D, 0xF7, 0x00, 0x3C, 0x00, 0x00, 0x90, 0x3E, 0x40},
                    kEnd})}),
       nullptr, "0:90 3C 40 | 0:F0 7D F7", "track 1: 3 data byte(s) without a status byte skipped"},
      {"running status", "running-after-meta",
       smf(0, {cat({{0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x01, 0x01, 0x41, 0x10, 0x3C, 0x00}, kEnd})}), nullptr,
       "0:90 3C 40 | 0:FF 01 41", "data byte(s) without a status byte skipped"},
      {"running status", "data-byte-first", smf(0, {cat({{0x3C, 0x40}, kNote, kEnd})}), nullptr,
       "60:90 3C 40 | 156:80 3C 00", "track 1: 1 data byte(s) without a status byte skipped"},
      {"running status", "status-byte-among-data",
       smf(0, {cat({{0x00, 0x90, 0x3C, 0x90, 0x00, 0x80, 0x3C, 0x00}, kEnd})}), nullptr, "0:80 3C 00",
       "1 channel message(s) with a status byte among their data left out"},
      {"running status", "real-time-byte", smf(0, {cat({{0x00, 0xF8, 0x00, 0x90, 0x3C, 0x40}, kEnd})}), nullptr,
       "0:90 3C 40", "1 system status byte(s) that a file cannot hold skipped"},

      // System exclusive: F0 events whole, F7 escapes as they are.
      {"sysex", "sysex", smf(0, {cat({{0x00, 0xF0, 0x05, 0x7D, 0x01, 0x02, 0x03, 0xF7}, kEnd})}), nullptr,
       "0:F0 7D 01 02 03 F7"},
      {"sysex", "f7-escape", smf(0, {cat({{0x00, 0xF7, 0x01, 0xF8}, kNote, kEnd})}), nullptr,
       "0:F7 F8 | 0:90 3C 40 | 96:80 3C 00"},
      {"sysex", "f7-length-0", smf(0, {cat({{0x00, 0xF7, 0x00}, kNote, kEnd})}), nullptr, kNoteEvents,
       "1 empty F7 event(s) ignored"},
      {"sysex", "sysex-in-packets",
       smf(0, {cat({{0x00, 0xF0, 0x03, 0x7D, 0x01, 0x02, 0x10, 0xF7, 0x02, 0x03, 0xF7}, kEnd})}), nullptr,
       "0:F0 7D 01 02 | 16:F7 03 F7"},
      {"sysex", "stray-f7", smf(0, {cat({{0x00, 0xF7, 0x02, 0x7D, 0xF7}, kNote, kEnd})}), nullptr,
       "0:F7 7D F7 | 0:90 3C 40 | 96:80 3C 00"},
      {"sysex", "sysex-beyond-track", smf(0, {{0x00, 0x90, 0x3C, 0x40, 0x00, 0xF0, 0x10, 0x7D, 0x01}}), nullptr,
       "0:90 3C 40", "track 1 is cut short"},

      // Meta events: any length; a tempo only with 3 bytes.
      {"meta", "tempo-length-0", smf(0, {cat({{0x00, 0xFF, 0x51, 0x00, 0x60, 0x90, 0x3C, 0x40}, kEnd})}), nullptr,
       "0:FF 51 | 96:90 3C 40", nullptr, 0.5},
      {"meta", "tempo-length-1", smf(0, {cat({{0x00, 0xFF, 0x51, 0x01, 0x07, 0x60, 0x90, 0x3C, 0x40}, kEnd})}), nullptr,
       "0:FF 51 07 | 96:90 3C 40", nullptr, 0.5},
      {"meta", "tempo-length-4",
       smf(0, {cat({{0x00, 0xFF, 0x51, 0x04, 0x03, 0xD0, 0x90, 0x00, 0x60, 0x90, 0x3C, 0x40}, kEnd})}), nullptr,
       "0:FF 51 03 D0 90 00 | 96:90 3C 40", nullptr, 0.5},
      {"meta", "tempo", smf(0, {cat({{0x00, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90, 0x60, 0x90, 0x3C, 0x40}, kEnd})}),
       nullptr, "0:FF 51 03 D0 90 | 96:90 3C 40", nullptr, 0.25},
      {"meta", "tempo-0", smf(0, {cat({{0x00, 0xFF, 0x51, 0x03, 0x00, 0x00, 0x00, 0x60, 0x90, 0x3C, 0x40}, kEnd})}),
       nullptr, "0:FF 51 00 00 00 | 96:90 3C 40", nullptr, 0},
      {"meta", "meta-beyond-track", smf(0, {{0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x01, 0x20, 0x41, 0x42}}), nullptr,
       "0:90 3C 40", "track 1 is cut short"},
      {"meta", "meta-without-type", smf(0, {{0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF}}), nullptr, "0:90 3C 40",
       "track 1 is cut short"},
      {"meta", "meta-length-in-4-bytes",
       smf(0, {cat({{0x00, 0xFF, 0x01, 0x80, 0x80, 0x80, 0x00, 0x00, 0x90, 0x3C, 0x40}, kEnd})}), nullptr,
       "0:FF 01 | 0:90 3C 40"},
      {"meta", "time-signature-power-255",
       smf(0, {cat({{0x00, 0xFF, 0x58, 0x04, 0x04, 0xFF, 0x18, 0x08}, kNote, kEnd})}), nullptr,
       "0:FF 58 04 FF 18 08 | 0:90 3C 40 | 96:80 3C 00"},
      {"meta", "end-of-track-with-data",
       smf(0, {{0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x2F, 0x01, 0x00, 0x00, 0x90, 0x3E, 0x40}}), nullptr, "0:90 3C 40"},

      // Time: delta times, their sums, the tempo map, the merge.
      {"time", "delta-time-in-5-bytes", smf(0, {cat({{0x81, 0x80, 0x80, 0x80, 0x90, 0x3C, 0x40}, kEnd})}), nullptr,
       "2097152:90 3C 40", "longer than 4 bytes; read as 4"},
      {"time", "largest-delta-times", Bytes(), nullptr, nullptr, nullptr},
      {"time", "tempo-change-in-another-track",
       smf(1, {cat({{0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x81, 0x40, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90}, kEnd}),
               cat({{0x00, 0x90, 0x3C, 0x40, 0x60, 0x3E, 0x40, 0x60, 0x40, 0x40, 0x60, 0x41, 0x40, 0x60, 0x43, 0x40},
                    kEnd})}),
       nullptr,
       "0:FF 51 07 A1 20 | 0:90 3C 40 | 96:90 3E 40 | 192:FF 51 03 D0 90 | 192:90 40 40 | 288:90 41 40 | 384:90 43 "
       "40",
       nullptr, 1.5},
      {"time", "same-pulse-in-three-tracks",
       smf(1, {cat({{0x00, 0x90, 0x3C, 0x40, 0x00, 0x90, 0x3D, 0x40, 0x0A, 0x80, 0x3C, 0x00}, kEnd}),
               cat({{0x00, 0x91, 0x3C, 0x40, 0x0A, 0x81, 0x3C, 0x00}, kEnd}),
               cat({{0x00, 0xFF, 0x01, 0x01, 0x41}, kEnd})}),
       nullptr, "0:90 3C 40 | 0:90 3D 40 | 0:91 3C 40 | 0:FF 01 41 | 10:80 3C 00 | 10:81 3C 00"},
      {"time", "format-2-tracks-one-after-another",
       smf(2, {cat({kNote, kEnd}), cat({{0x00, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90}, kNote, kEnd})}), nullptr,
       "0:90 3C 40 | 96:80 3C 00 | 96:FF 51 03 D0 90 | 96:90 3C 40 | 192:80 3C 00", nullptr, 0.75},
  };
  // 2000 delta times of 2^28 - 1 pulses each: more than 32 bits hold.
  Bytes track;
  for (int i = 0; i < 2000; ++i) track = cat({track, {0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, (unsigned char)(i & 0x7F)}});
  for (Case& k : c)
    if (strcmp(k.name, "largest-delta-times") == 0) k.file = smf(0, {cat({track, kEnd})});
  return c;
}

}  // namespace

const std::vector<Case>& cases() {
  static const std::vector<Case> all = makeCases();
  return all;
}

const Case& find(const std::string& name) {
  for (const Case& c : cases())
    if (name == c.name) return c;
  ADD_FAILURE() << "no corpus file " << name;
  return cases()[0];
}

}  // namespace midicorpus

namespace {

using midicorpus::Bytes;
using midicorpus::Case;

std::string dump(const MidiFile& f) {
  std::string out;
  for (const MidiFileEvent& e : f.events) {
    if (!out.empty()) out += " | ";
    out += std::to_string(e.pulse) + ":";
    for (uint32_t i = 0; i < e.size; ++i) {
      char hex[4];
      snprintf(hex, sizeof hex, i ? " %02X" : "%02X", f.data(e)[i]);
      out += hex;
    }
  }
  return out;
}

std::string notes(const MidiFile& f) {
  std::string out;
  for (const std::string& n : f.notes) out += n + "\n";
  return out;
}

// What holds for every file read: events in time order, inside the byte pool,
// channel messages of their length, no more events than the file has bytes.
void expectWellFormed(const MidiFile& f, size_t fileSize) {
  EXPECT_LE(f.events.size(), fileSize);
  EXPECT_GT(f.ppqn, 0);
  EXPECT_TRUE(std::isfinite(f.seconds));
  for (size_t i = 0; i < f.events.size(); ++i) {
    const MidiFileEvent& e = f.events[i];
    ASSERT_LE((size_t)e.offset + e.size, f.bytes.size());
    ASSERT_GE(e.size, 1u);
    ASSERT_TRUE(std::isfinite(e.seconds));
    if (i > 0) {
      ASSERT_GE(e.pulse, f.events[i - 1].pulse) << i;
      ASSERT_GE(e.seconds, f.events[i - 1].seconds) << i;
    }
    unsigned char status = f.data(e)[0];
    if (status < 0xF0) {
      EXPECT_EQ(e.size, (status & 0xE0) == 0xC0 ? 2u : 3u) << i;
    }
    EXPECT_EQ(e.meta, status == 0xFF);
    EXPECT_LE(e.seconds, f.seconds + 1e-9);
  }
}

TEST(MidiFileTest, EachCorpusFileIsRefusedForItsCauseOrReadAsOtherPlayersReadIt) {
  for (const Case& c : midicorpus::cases()) {
    SCOPED_TRACE(std::string(c.kind) + ": " + c.name);
    MidiFile f;
    f.tracks = 99;
    std::string reason;
    bool ok = readMidiFile(c.file.data(), c.file.size(), &f, &reason);
    if (c.refusal) {
      EXPECT_FALSE(ok);
      EXPECT_NE(reason.find(c.refusal), std::string::npos) << reason;
      EXPECT_TRUE(f.events.empty());
      continue;
    }
    ASSERT_TRUE(ok) << reason;
    expectWellFormed(f, c.file.size());
    if (c.events) {
      EXPECT_EQ(dump(f), c.events) << notes(f);
    }
    if (c.note) {
      EXPECT_NE(notes(f).find(c.note), std::string::npos) << notes(f);
    } else {
      EXPECT_TRUE(f.notes.empty()) << notes(f);
    }
    if (c.lastSeconds >= 0) {
      ASSERT_FALSE(f.events.empty());
      EXPECT_NEAR(f.events.back().seconds, c.lastSeconds, 1e-9);
    }
  }
}

TEST(MidiFileTest, TimesFollowTheTempoMapPiecewiseAcrossTracks) {
  const Case& c = midicorpus::find("tempo-change-in-another-track");
  MidiFile f;
  std::string reason;
  ASSERT_TRUE(readMidiFile(c.file.data(), c.file.size(), &f, &reason)) << reason;
  std::vector<double> notes;
  for (const MidiFileEvent& e : f.events)
    if (!e.meta) notes.push_back(e.seconds);
  std::vector<double> expected = {0, 0.5, 1.0, 1.25, 1.5};
  ASSERT_EQ(notes.size(), expected.size());
  for (size_t i = 0; i < notes.size(); ++i) EXPECT_NEAR(notes[i], expected[i], 1e-9) << i;
  EXPECT_EQ(f.format, 1);
  EXPECT_EQ(f.tracks, 2);
  EXPECT_EQ(f.ppqn, 96);
  EXPECT_NEAR(f.seconds, 1.5, 1e-9);
}

TEST(MidiFileTest, DeltaTimesAddUpBeyond32BitsWithoutOverflow) {
  const Case& c = midicorpus::find("largest-delta-times");
  MidiFile f;
  std::string reason;
  ASSERT_TRUE(readMidiFile(c.file.data(), c.file.size(), &f, &reason)) << reason;
  ASSERT_EQ(f.events.size(), 2000u);
  const int64_t step = (1 << 28) - 1;
  for (size_t i = 0; i < f.events.size(); ++i) ASSERT_EQ(f.events[i].pulse, step * (int64_t)(i + 1)) << i;
  // 2^28 - 1 pulses at 96 a half second: about 1.4 million seconds each.
  EXPECT_NEAR(f.events.back().seconds, 2000.0 * step / 96 * 0.5, 1.0);
  EXPECT_NEAR(f.seconds, f.events.back().seconds, 1e-6);
}

TEST(MidiFileTest, FourHundredThousandEventsComeOutInOrder) {
  // Two tracks interleaving in time: track 1 at even pulses, track 2 at odd
  // ones, each note's velocity counting its place.
  Bytes tracks[2];
  for (int t = 0; t < 2; ++t) {
    tracks[t] = {(unsigned char)t, (unsigned char)(0x90 | t), 0x3C, 0};
    for (int i = 1; i < 200000; ++i) {
      tracks[t].insert(tracks[t].end(), {0x02, 0x3C, (unsigned char)(i & 0x7F)});
    }
    tracks[t].insert(tracks[t].end(), {0x00, 0xFF, 0x2F, 0x00});
  }
  Bytes file = midicorpus::Bytes();
  {
    Bytes h = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, 0x01, 0xE0};
    file = h;
    for (const Bytes& t : tracks) {
      Bytes c = {'M',
                 'T',
                 'r',
                 'k',
                 (unsigned char)(t.size() >> 24),
                 (unsigned char)(t.size() >> 16),
                 (unsigned char)(t.size() >> 8),
                 (unsigned char)t.size()};
      file.insert(file.end(), c.begin(), c.end());
      file.insert(file.end(), t.begin(), t.end());
    }
  }
  MidiFile f;
  std::string reason;
  ASSERT_TRUE(readMidiFile(file.data(), file.size(), &f, &reason)) << reason;
  ASSERT_EQ(f.events.size(), 400000u);
  for (size_t i = 0; i < f.events.size(); ++i) {
    const MidiFileEvent& e = f.events[i];
    ASSERT_EQ(e.pulse, (int64_t)i) << i;
    ASSERT_EQ(e.track, (int)(i & 1)) << i;
    ASSERT_EQ(f.data(e)[2], (i / 2) & 0x7F) << i;
    ASSERT_NEAR(e.seconds, (double)i / 480 * 0.5, 1e-6) << i;
  }
}

TEST(MidiFileTest, ABiggerFileThanTheLimitIsRefusedUnread) {
  Bytes file(kMaxMidiFileSize + 1);
  Bytes h = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96};
  std::copy(h.begin(), h.end(), file.begin());
  MidiFile f;
  std::string reason;
  EXPECT_FALSE(readMidiFile(file.data(), file.size(), &f, &reason));
  EXPECT_NE(reason.find("more than kvplay reads (64 MiB)"), std::string::npos) << reason;
  EXPECT_FALSE(loadMidiFile("/nonexistent/song.mid", &f, &reason));
  EXPECT_EQ(reason, "cannot open it: No such file or directory");
}

TEST(MidiFileTest, BarsFollowTimeSignaturesAndIgnoreImpossibleOnes) {
  MidiBars bars(480);
  EXPECT_EQ(bars.barAt(0), 1);
  EXPECT_EQ(bars.barAt(1919), 1);
  EXPECT_EQ(bars.barAt(1920), 2);
  bars.timeSignature(1920, 3, 2);  // 3/4 from bar 2 on
  EXPECT_EQ(bars.barAt(1920 + 1440), 3);
  // A denominator of 2^255 or 2^7, or no beats a bar: the bar stays 3/4.
  bars.timeSignature(1920 + 1440, 4, 255);
  bars.timeSignature(1920 + 1440, 4, 7);
  bars.timeSignature(1920 + 1440, 0, 2);
  bars.timeSignature(1920 + 1440, 4, -1);
  EXPECT_EQ(bars.barAt(1920 + 1440 * 2 - 1), 3);
  EXPECT_EQ(bars.barAt(1920 + 1440 * 2), 4);
  bars.timeSignature(1920 + 1440 * 2, 6, 3);  // 6/8
  EXPECT_EQ(bars.barAt(1920 + 1440 * 3), 5);
  EXPECT_EQ(bars.barAt(int64_t(1) << 40), 1 + 4 + ((int64_t(1) << 40) - 1920 - 1440 * 3) / 1440);
}

}  // namespace
