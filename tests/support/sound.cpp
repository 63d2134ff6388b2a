#include "sound.h"

#include <fcntl.h>
#include <math.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

extern char** environ;

namespace kvtest {

namespace {

// Starts a program of the system with `extraEnv` added to this environment and
// its standard output on `outFd` (or /dev/null); stderr goes to /dev/null.
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv, int* outFd) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  int out[2] = {-1, -1};
  if (outFd && pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (outFd)
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  else
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0].c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (outFd) {
    close(out[1]);
    *outFd = out[0];
  }
  return rc == 0 ? pid : -1;
}

void end(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

}  // namespace

PrivateSoundServer::~PrivateSoundServer() {
  end(pid_);
  unsetenv("PULSE_SERVER");
}

bool PrivateSoundServer::start(const std::string& dir) {
  mkdir(dir.c_str(), 0700);
  std::string socket = dir + "/native";
  address_ = "unix:" + socket;
  pid_ = spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
                "--load=module-null-sink sink_name=kvtest rate=44100 channels=2",
                "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket},
               {"XDG_RUNTIME_DIR=" + dir, "HOME=" + dir}, nullptr);
  if (pid_ <= 0) return false;
  // The server answers once it has loaded its modules; until then the query fails at once.
  for (int tries = 0; tries < 2000; ++tries) {
    pid_t q = spawn({"pactl", "--server=" + address_, "info"}, {}, nullptr);
    int status = -1;
    if (q > 0) waitpid(q, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      setenv("PULSE_SERVER", address_.c_str(), 1);
      return true;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
  }
  return false;
}

MonitorRecorder::~MonitorRecorder() {
  end(pid_);
  if (reader_.joinable()) reader_.join();
  if (fd_ >= 0) close(fd_);
}

bool MonitorRecorder::start(const std::string& server) {
  pid_ = spawn({"parec", "--server=" + server, "-d", "kvtest.monitor", "--raw", "--format=s16le", "--rate=44100",
                "--channels=1", "--latency-msec=10"},
               {}, &fd_);
  if (pid_ <= 0) return false;
  reader_ = std::thread(&MonitorRecorder::read, this);
  return true;
}

void MonitorRecorder::read() {
  char buf[4096];
  std::string carry;
  for (;;) {
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    carry.append(buf, (size_t)n);
    size_t whole = carry.size() / 2;
    {
      std::lock_guard<std::mutex> hold(lock_);
      const int16_t* s = reinterpret_cast<const int16_t*>(carry.data());
      samples_.insert(samples_.end(), s, s + whole);
    }
    carry.erase(0, whole * 2);
    more_.notify_all();
  }
  more_.notify_all();
}

std::vector<int16_t> MonitorRecorder::samples() {
  std::lock_guard<std::mutex> hold(lock_);
  return samples_;
}

std::vector<double> Wav::mono(size_t from, size_t count) const {
  std::vector<double> out;
  for (size_t f = from; f < frames() && out.size() < count; ++f) {
    double v = 0;
    for (unsigned c = 0; c < channels; ++c) v += samples[f * channels + c];
    out.push_back(v / channels);
  }
  return out;
}

Wav readWav(const std::string& path) {
  Wav wav;
  SF_INFO info;
  memset(&info, 0, sizeof info);
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return wav;
  wav.rate = (unsigned)info.samplerate;
  wav.channels = (unsigned)info.channels;
  wav.samples.resize((size_t)info.frames * (size_t)info.channels);
  sf_readf_short(f, wav.samples.data(), info.frames);
  sf_close(f);
  return wav;
}

std::vector<double> recordedTimes(const std::string& text, const std::string& what) {
  std::vector<double> times;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    if (!line.empty() && line[0] != '#' && line.find(what) != std::string::npos) times.push_back(atof(line.c_str()));
  return times;
}

}  // namespace kvtest
