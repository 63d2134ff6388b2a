// The sound server back end: a playback stream through the PulseAudio protocol
// (served by PipeWire too), with libpulse's blocking simple API, which suits a
// render thread that writes a block at a time at its own pace.
#include <pulse/error.h>
#include <pulse/simple.h>

#include "host/audio.h"
#include "host/say.h"

namespace {

class PulseSink : public AudioSink {
 public:
  explicit PulseSink(pa_simple* stream) : stream_(stream) {}
  ~PulseSink() override {
    int error;
    pa_simple_drain(stream_, &error);
    pa_simple_free(stream_);
  }
  void write(const void* frames, size_t bytes) override {
    int error;
    pa_simple_write(stream_, frames, bytes, &error);
  }

 private:
  pa_simple* stream_;
};

}  // namespace

std::unique_ptr<AudioSink> openSoundServer(const std::string& server, const std::string& device, const char* name,
                                           const AudioFormat& format, unsigned latencyMs, unsigned keepDeviceMs,
                                           std::string* why) {
  // The sound server shares its device with every program; the stream keeps
  // nothing from another.
  (void)keepDeviceMs;
  pa_sample_spec spec;
  spec.format = format.bits == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
  spec.rate = format.rate;
  spec.channels = (uint8_t)format.channels;
  // The server keeps about `latencyMs` buffered and starts playing once half of
  // it is there.
  uint32_t target = (uint32_t)pa_usec_to_bytes((pa_usec_t)latencyMs * 1000, &spec);
  pa_buffer_attr attr;
  attr.maxlength = (uint32_t)-1;
  attr.tlength = target;
  attr.prebuf = (uint32_t)pa_frame_size(&spec) > target / 2 ? (uint32_t)pa_frame_size(&spec) : target / 2;
  attr.minreq = (uint32_t)-1;
  attr.fragsize = (uint32_t)-1;
  int error = 0;
  const char* address = server.empty() ? nullptr : server.c_str();
  pa_simple* stream = pa_simple_new(address, KV_HOST_NAME, PA_STREAM_PLAYBACK,
                                    device.empty() ? nullptr : device.c_str(), name, &spec, nullptr, &attr, &error);
  // A sink that is not there (a headset unplugged) leaves the sound on the
  // default one, not silent.
  if (!stream && !device.empty() && error == PA_ERR_NOENTITY) {
    stream = pa_simple_new(address, KV_HOST_NAME, PA_STREAM_PLAYBACK, nullptr, name, &spec, nullptr, &attr, &error);
    if (stream && why) *why = "the output device " + device + " is not there: playing to the default one";
  }
  if (!stream) {
    if (why) *why = pa_strerror(error);
    return nullptr;
  }
  return std::unique_ptr<AudioSink>(new PulseSink(stream));
}
