// kvplay, the player: a MIDI file reaches the host in order and on time through
// the multimedia layer's MIDI device; a WAV file reaches it through the wave
// device; the devices are listed.
#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kv/plat.h"
#include "midifile_corpus.h"
#include "product.h"
#include "sound.h"

namespace {

typedef std::vector<unsigned char> Bytes;

extern "C" char** environ;

// Starts a program in a process group of its own (as a shell starts a job),
// its standard output on a pipe.
pid_t startJob(const std::vector<std::string>& args, int* out) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0].c_str(), &fa, &attr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  *out = fds[0];
  return pid;
}

// The next line of `fd`, or "" after `timeoutMs` without one.
std::string lineFrom(int fd, int timeoutMs) {
  std::string line;
  char c;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0 || read(fd, &c, 1) != 1) return "";
    if (c == '\n') return line;
    line += c;
  }
}

Bytes chunk(const char* id, const Bytes& data) {
  Bytes out(id, id + 4);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back((unsigned char)(data.size() >> shift));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// A format-1 file at 480 pulses a quarter note: the conductor track sets 120
// quarter notes a minute and at pulse 960 (1 s) 240; the other track has five notes a quarter note apart (0,
// 0.5, 1.0, 1.25 and 1.5 s) written with running status, a system-exclusive buffer at pulse 720 (0.75 s) and a text
// event.
Bytes tempoChangeFile() {
  Bytes conductor = {0x00, 0xFF, 0x58, 0x04, 0x04, 0x02, 0x18, 0x08,  // 4/4
                     0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,        // 500000 us a quarter note
                     0x87, 0x40, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90,  // +960: 250000 us
                     0x00, 0xFF, 0x2F, 0x00};
  Bytes notes = {0x00, 0xFF, 0x01, 0x04, 't',  'e',  's',  't',  0x00, 0x90, 60, 0x64,  // 0: note on (status given)
                 0x83, 0x60, 60,   0x00,                                // 480: note off by running status
                 0x00, 62,   0x64,                                      // 480: next note
                 0x81, 0x70, 0xF0, 0x05, 0x7D, 0x01, 0x02, 0x03, 0xF7,  // 720: sysex
                 0x81, 0x70, 0x90, 62,   0x00,                          // 960: status again after the sysex
                 0x00, 64,   0x64, 0x83, 0x60, 64,   0x00,              // 960, 1440
                 0x00, 65,   0x64, 0x83, 0x60, 65,   0x00,              // 1440, 1920
                 0x00, 67,   0x64, 0x83, 0x60, 67,   0x00,              // 1920, 2400
                 0x00, 0xFF, 0x2F, 0x00};
  Bytes file = chunk("MThd", {0, 1, 0, 2, 0x01, 0xE0});
  for (const Bytes& track : {conductor, notes}) {
    Bytes c = chunk("MTrk", track);
    file.insert(file.end(), c.begin(), c.end());
  }
  return file;
}

// The same with the little-endian size of RIFF files.
Bytes riffChunk(const char* id, const Bytes& data) {
  Bytes out(id, id + 4);
  for (int shift = 0; shift < 32; shift += 8) out.push_back((unsigned char)(data.size() >> shift));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// A WAV file of 16-bit mono samples at `rate`.
Bytes wavFile(uint32_t rate, const std::vector<int16_t>& samples) {
  Bytes data(reinterpret_cast<const unsigned char*>(samples.data()),
             reinterpret_cast<const unsigned char*>(samples.data()) + samples.size() * 2);
  uint32_t bytesPerSecond = rate * 2;
  Bytes fmt = {1, 0, 1, 0};
  for (uint32_t v : {rate, bytesPerSecond})
    for (int shift = 0; shift < 32; shift += 8) fmt.push_back((unsigned char)(v >> shift));
  fmt.insert(fmt.end(), {2, 0, 16, 0});
  Bytes wave = {'W', 'A', 'V', 'E'};
  for (const Bytes& c : {riffChunk("fmt ", fmt), riffChunk("data", data)}) wave.insert(wave.end(), c.begin(), c.end());
  return riffChunk("RIFF", wave);
}

class KvplayTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    std::string module = kvtest::driverModulePath();
    setenv(PLAT_MM_DRIVERS_ENV, ("midi=" + module + ";wave=" + module).c_str(), 1);
    hostSetting("SoundServer", "none");
  }
  void TearDown() override {
    unsetenv(PLAT_MM_DRIVERS_ENV);
    ProductTest::TearDown();
  }
  std::string kvplay() const { return kvtest::buildDir() + "/kvplay"; }
  std::string write(const char* name, const Bytes& data) {
    std::string path = root + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (!data.empty()) fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    return path;
  }
};

}  // namespace

namespace {

// The player's log of what it sent (--timing): when each message was due and
// when it went out, on the steady clock.
struct SentMessage {
  double dueMs, sentMs;
  std::string bytes;
};

std::vector<SentMessage> readTiming(const std::string& path) {
  std::vector<SentMessage> out;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return out;
  char line[256];
  while (fgets(line, sizeof line, f)) {
    long long due, sent;
    int used = 0;
    if (sscanf(line, "%lld %lld %n", &due, &sent, &used) != 2) continue;
    std::string bytes = line + used;
    while (!bytes.empty() && bytes.back() == '\n') bytes.pop_back();
    out.push_back({due / 1e6, sent / 1e6, bytes});
  }
  fclose(f);
  return out;
}

// The host's stream start on the steady clock, in ms: its arrival times count
// from there.
double streamStartMs(const std::string& record) {
  size_t at = record.find("# stream start ");
  return at == std::string::npos ? -1 : atoll(record.c_str() + at + 15) / 1e6;
}

}  // namespace

// The arrival check is split where the time is kept. The player's schedule is
// the file's clock through the tempo change, to the microsecond, whenever the
// messages before were sent; the player, which runs at the highest priority,
// sends each message at its due time, none early; the host takes them in that
// order, none before it was sent. How late a message leaves the player and
// how long the host then takes to look at its ring depend on the machine's
// load (the test runs beside others and builds), so they are printed, not
// checked against a bound in milliseconds.
TEST_F(KvplayTest, MidiFileArrivesInOrderAndOnTimeAcrossATempoChange) {
  std::string output, log = root + "/timing.txt";
  ASSERT_EQ(kvtest::runProgram(kvplay(), {"--timing", log, write("tempo.mid", tempoChangeFile())}, &output), 0)
      << output;
  EXPECT_EQ(output.find('\r'), std::string::npos) << "no progress line when not on a terminal";
  const struct {
    const char* bytes;
    double ms;
  } expected[] = {{"90 3C 64", 0},    {"90 3C 00", 500},  {"90 3E 64", 500},  {"F0 7D 01 02 03 F7", 750},
                  {"90 3E 00", 1000}, {"90 40 64", 1000}, {"90 40 00", 1250}, {"90 41 64", 1250},
                  {"90 41 00", 1500}, {"90 43 64", 1500}, {"90 43 00", 1750}};
  std::vector<SentMessage> sent = readTiming(log);
  ASSERT_EQ(sent.size(), sizeof expected / sizeof expected[0]) << output;
  std::string text = readInstallFile("KVMIDIIN.TXT");
  double stream = streamStartMs(text);
  ASSERT_GT(stream, 0) << text;
  double lastArrival = 0, latest = 0;
  for (size_t i = 0; i < sent.size(); ++i) {
    std::vector<double> at = kvtest::recordedTimes(text, expected[i].bytes);
    ASSERT_EQ(at.size(), 1u) << expected[i].bytes << "\n" << text;
    double arrival = stream + at[0];
    double late = sent[i].sentMs - sent[i].dueMs;
    SCOPED_TRACE(std::string(expected[i].bytes) + ": due at " + std::to_string(sent[i].dueMs - sent[0].dueMs) +
                 " ms, sent " + std::to_string(late) + " ms after, taken by the host " +
                 std::to_string(arrival - sent[i].sentMs) + " ms after that");
    EXPECT_EQ(sent[i].bytes, expected[i].bytes);
    EXPECT_NEAR(sent[i].dueMs - sent[0].dueMs, expected[i].ms, 0.001);
    EXPECT_GE(late, 0);
    latest = std::max(latest, late);
    // The record keeps microseconds.
    EXPECT_GE(arrival - sent[i].sentMs, -0.001);
    EXPECT_GE(arrival, lastArrival);
    lastArrival = arrival;
  }
  printf("the latest message left the player %.3f ms after its due time\n", latest);
}

TEST_F(KvplayTest, InterruptEndsEveryNoteAndClosesTheDevice) {
  std::string piece = root + "/piece.mid";
  ASSERT_EQ(kvtest::runProgram(kvtest::buildDir() + "/kvpiece", {piece}), 0);
  int out = -1;
  pid_t job = startJob({kvplay(), piece}, &out);
  ASSERT_GT(job, 0);
  EXPECT_EQ(lineFrom(out, 20000).rfind("playing ", 0), 0u);
  // Ctrl-C on a terminal: the signal goes to the whole job, the host the
  // player started among it.
  ASSERT_EQ(killpg(job, SIGINT), 0);
  EXPECT_EQ(lineFrom(out, 20000), "stopped: every note ended, device closed");
  int status = -1;
  ASSERT_EQ(waitpid(job, &status, 0), job);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(out);
  // The host outlived the signal and received every channel's notes-off.
  std::string text = readInstallFile("KVMIDIIN.TXT");
  for (int ch = 0; ch < 16; ++ch) {
    char notesOff[16];
    snprintf(notesOff, sizeof notesOff, "B%X 7B 00", ch);
    EXPECT_EQ(kvtest::recordedTimes(text, notesOff).size(), 1u) << notesOff << "\n" << text;
  }
}

TEST_F(KvplayTest, ListsTheDevicesAndStreamsAWavFile) {
  std::string output;
  ASSERT_EQ(kvtest::runProgram(kvplay(), {"--list"}, &output), 0);
  EXPECT_NE(output.find("0  Kelvasong (NT)"), std::string::npos) << output;
  EXPECT_NE(output.find("0  Kelvasong WaveOut (NT)"), std::string::npos) << output;

  // Half a second of 16-bit mono at 22050 Hz, no sample silent.
  std::vector<int16_t> tone(11025);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = (int16_t)(3000 * sin(2 * M_PI * 500 * (double)i / 22050) + 4000);
  std::string path = write("tone.wav", wavFile(22050, tone));

  HWND instance = kvtest::openInstanceWindow();
  ASSERT_NE(instance, nullptr);
  ASSERT_EQ(kvtest::runProgram(kvplay(), {path}, &output), 0) << output;
  DestroyWindow(instance);
  kvtest::Wav played = kvtest::readWav(installDir() + "/KVWAVEOUT.WAV");
  ASSERT_EQ(played.rate, 22050u);
  // No sample of the tone is 0: what the pump adds where the player was late
  // (silence, which a loaded machine may cause) is told apart from the file's
  // samples, which must all be there, in order.
  std::vector<int16_t> sounded;
  for (int16_t s : played.samples)
    if (s != 0) sounded.push_back(s);
  ASSERT_GE(sounded.size(), tone.size());
  EXPECT_TRUE(std::equal(tone.begin(), tone.end(), sounded.begin())) << "the host played the file's samples";
}

TEST_F(KvplayTest, AWaveOpenFailureIsExplainedByItsCause) {
  std::vector<int16_t> tone(4410, 1000);
  std::string output;
  // The device takes 1000 to 65535 frames a second; it says so before it
  // looks for a host, so no instance window is needed to hear it.
  for (uint32_t rate : {96000u, 1u}) {
    std::string path = write("rate.wav", wavFile(rate, tone));
    ASSERT_EQ(kvtest::runProgram(kvplay(), {path}, &output), 1) << output;
    EXPECT_NE(output.find("(error 32): the device does not take this format (" + std::to_string(rate) + " Hz"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("instance window"), std::string::npos) << output;
  }
  // A format it takes, but no instance window: the open is refused as the
  // device in use is, and the player names the window.
  std::string path = write("tone.wav", wavFile(22050, tone));
  ASSERT_EQ(kvtest::runProgram(kvplay(), {path}, &output), 1) << output;
  EXPECT_NE(output.find("(error 4): the product's instance window is not open"), std::string::npos) << output;
}

// Malformed files through the player, the real driver and host: a file it
// refuses is named with the cause and the player exits 1; a file read in spite
// of its faults plays to its end; neither ends by a signal.
TEST_F(KvplayTest, MalformedFilesAreRefusedWithTheirCauseOrPlayedToTheirEnd) {
  for (const char* name : {"empty", "no-track", "smpte-25", "header-length-2", "format-3"}) {
    const midicorpus::Case& c = midicorpus::find(name);
    std::string path = write("refused.mid", c.file);
    std::string output;
    EXPECT_EQ(kvtest::runProgram(kvplay(), {path}, &output), 1) << name << "\n" << output;
    EXPECT_NE(output.find("kvplay: cannot play " + path + ": "), std::string::npos) << output;
    EXPECT_NE(output.find(c.refusal), std::string::npos) << output;
  }
  // What the host records of each: a message of the file, or a system-
  // exclusive message its packets make up.
  const struct {
    const char* name;
    const char* heard;
  } played[] = {
      {"no-end-of-track", "90 3C 40"},
      {"length-0-then-events", "80 3C 00"},
      {"f7-escape", "90 3C 40"},
      {"sysex-in-packets", "F0 7D 01 02 03 F7"},
      {"running-one-data-byte", "D0 30"},
      {"tempo-length-1", "90 3C 40"},
      {"time-signature-power-255", "80 3C 00"},
      {"length-beyond-file-inside-an-event", "90 3C 40"},
  };
  for (const auto& p : played) {
    const midicorpus::Case& c = midicorpus::find(p.name);
    std::string path = write("played.mid", c.file);
    std::string output;
    EXPECT_EQ(kvtest::runProgram(kvplay(), {path}, &output), 0) << p.name << "\n" << output;
    EXPECT_NE(output.find("playing " + path), std::string::npos) << output;
    if (c.note) {
      EXPECT_NE(output.find(c.note), std::string::npos) << output;
    }
    std::string text = readInstallFile("KVMIDIIN.TXT");
    EXPECT_EQ(kvtest::recordedTimes(text, p.heard).size(), 1u) << p.name << "\n" << text;
  }
}
