// kvpiece: writes the project's own short piece as a Standard MIDI File
// (format 1: a conductor track with the time signature, the tempo and its
// change at the last bar, and a General MIDI reset; then a melody, chords and a
// bass line, each a track of its own written with running status).
//   kvpiece FILE.mid
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const int kPpqn = 480;
const int kBar = 4 * kPpqn;

class Track {
 public:
  void event(int tick, std::vector<unsigned char> bytes) {
    delta(tick);
    // Running status: a channel status equal to the last one is left out.
    if (bytes[0] < 0xF0 && bytes[0] == status_) {
      data_.insert(data_.end(), bytes.begin() + 1, bytes.end());
    } else {
      data_.insert(data_.end(), bytes.begin(), bytes.end());
      status_ = bytes[0] < 0xF0 ? bytes[0] : 0;
    }
  }
  void meta(int tick, unsigned char type, std::vector<unsigned char> body) {
    delta(tick);
    data_.push_back(0xFF);
    data_.push_back(type);
    length(body.size());
    data_.insert(data_.end(), body.begin(), body.end());
    status_ = 0;
  }
  void sysex(int tick, std::vector<unsigned char> body) {  // without its 0xF0
    delta(tick);
    data_.push_back(0xF0);
    length(body.size());
    data_.insert(data_.end(), body.begin(), body.end());
    status_ = 0;
  }
  void note(int tick, int channel, int key, int velocity, int ticks) {
    pending_.push_back({tick, channel, key, velocity, true});
    pending_.push_back({tick + ticks, channel, key, 0, false});
  }
  // Writes the notes in time order (note-offs as note-ons with velocity 0, so
  // that running status carries them) and the end of the track.
  std::vector<unsigned char> chunk() {
    std::vector<Note> notes = pending_;
    for (size_t i = 1; i < notes.size(); ++i)
      for (size_t j = i; j > 0 && later(notes[j - 1], notes[j]); --j) std::swap(notes[j - 1], notes[j]);
    for (const Note& n : notes)
      event(n.tick, {(unsigned char)(0x90 | n.channel), (unsigned char)n.key, (unsigned char)n.velocity});
    meta(last_, 0x2F, {});
    std::vector<unsigned char> out = {'M', 'T', 'r', 'k'};
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back((unsigned char)(data_.size() >> shift));
    out.insert(out.end(), data_.begin(), data_.end());
    return out;
  }

 private:
  struct Note {
    int tick, channel, key, velocity;
    bool on;
  };
  static bool later(const Note& a, const Note& b) { return a.tick > b.tick || (a.tick == b.tick && a.on && !b.on); }
  void delta(int tick) {
    length((size_t)(tick - last_));
    last_ = tick;
  }
  void length(size_t v) {
    unsigned char bytes[5];
    int n = 0;
    do {
      bytes[n++] = (unsigned char)(v & 0x7F);
      v >>= 7;
    } while (v);
    while (n--) data_.push_back((unsigned char)(bytes[n] | (n ? 0x80 : 0)));
  }
  std::vector<unsigned char> data_;
  std::vector<Note> pending_;
  unsigned char status_ = 0;
  int last_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') {
    fprintf(stderr, "usage: kvpiece FILE.mid\n  writes the project's short demonstration piece\n");
    return 2;
  }
  // Eight bars: I vi IV V I IV V7 I, the last one slower.
  const int chords[8][4] = {{48, 60, 64, 67}, {45, 57, 60, 64}, {41, 57, 60, 65}, {43, 59, 62, 67},
                            {48, 60, 64, 67}, {41, 57, 60, 65}, {43, 59, 62, 65}, {48, 60, 64, 67}};
  const int bars = 8;
  Track conductor, melody, harmony, bass;
  conductor.sysex(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7});  // General MIDI system on
  conductor.meta(0, 0x03, {'k', 'v', 'p', 'i', 'e', 'c', 'e'});
  conductor.meta(0, 0x58, {4, 2, 24, 8});              // 4/4
  conductor.meta(0, 0x51, {0x07, 0xA1, 0x20});         // 120 quarter notes a minute
  conductor.meta(7 * kBar, 0x51, {0x0A, 0x2C, 0x2B});  // 90 in the last bar
  melody.event(0, {0xC0, 0});                          // piano
  harmony.event(0, {0xC1, 48});                        // strings
  harmony.event(0, {0xB1, 7, 70});
  bass.event(0, {0xC2, 32});  // acoustic bass
  for (int b = 0; b < bars; ++b) {
    const int* c = chords[b];
    int at = b * kBar;
    if (b < bars - 1) {
      // Eighth notes over the chord, up and back.
      const int line[8] = {c[1] + 12, c[2] + 12, c[3] + 12, c[2] + 24, c[3] + 12, c[2] + 12, c[1] + 12, c[3]};
      for (int i = 0; i < 8; ++i) melody.note(at + i * kPpqn / 2, 0, line[i], i % 2 ? 70 : 90, kPpqn / 2 - 20);
    } else {
      melody.note(at, 0, c[1] + 12, 90, kBar);
      melody.note(at, 0, c[1] + 24, 80, kBar);
    }
    for (int k = 1; k < 4; ++k) harmony.note(at, 1, c[k], 60, kBar - 10);
    bass.note(at, 2, c[0] - 12, 100, kPpqn * 3 / 2);
    bass.note(at + kPpqn * 2, 2, c[0], 90, kPpqn);
    if (b == bars - 1) bass.note(at + kPpqn * 2, 2, c[0] - 12, 100, kPpqn * 2);
  }
  std::vector<unsigned char> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 4, kPpqn >> 8, kPpqn & 0xFF};
  for (Track* t : {&conductor, &melody, &harmony, &bass}) {
    std::vector<unsigned char> chunk = t->chunk();
    file.insert(file.end(), chunk.begin(), chunk.end());
  }
  FILE* f = fopen(argv[1], "wb");
  if (!f || fwrite(file.data(), 1, file.size(), f) != file.size() || fclose(f) != 0) {
    fprintf(stderr, "kvpiece: cannot write %s\n", argv[1]);
    return 1;
  }
  printf("wrote %s: 8 bars in 4/4 for piano, strings and bass\n", argv[1]);
  return 0;
}
