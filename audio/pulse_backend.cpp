// PulseAudio backend. Listing goes through one context on a threaded main
// loop: the calling thread (any of ours) sends a request and sleeps on the
// loop's condition; the libpulse callbacks only copy the answer out and
// signal. Streams use the simple API, each with its own connection, and
// block in the calling thread:
// playback with a short target buffer so that writing goes at the device's
// pace, capture with short fragments so that audio arrives in small steps.
#include "audio/pulse_backend.h"

#include "audio/play_position.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/rtclock.h>
#include <pulse/sample.h>
#include <pulse/simple.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <utility>

namespace sequelo::audio {
namespace {

constexpr const char* kApplicationName = "Sequelo";
// How long Connect waits for a server to answer.
constexpr pa_usec_t kConnectTimeoutUsec = 2 * PA_USEC_PER_SEC;
// Playback: the server holds up to kPlaybackTargetMs of what we wrote; Write
// blocks while it is full. That store carries a call through while a busy
// machine keeps the writer from running: with too little, a stall tears a
// gap into the tones on the air. The server asks for more in pieces of
// kPlaybackRequestMs, so it holds at least the difference (120 ms). With
// these two, the latency the server asks of the sink, (target - 2 x request)
// / 2 = 20 ms, stays within a sound server's usual period: a longer one would
// make the server lengthen its period while we play, and change it back
// when a stream that wants a short one joins, which drops audio. Playback
// starts as soon as kPlaybackStartMs has arrived, and the transmitter is
// released by the stream's own count of played frames, so the store adds no
// delay on the air.
constexpr int kPlaybackTargetMs = 200;
constexpr int kPlaybackRequestMs = 80;
constexpr int kPlaybackStartMs = 10;
// Capture: the server sends what it recorded in pieces of about this length.
constexpr int kCaptureFragmentMs = 20;

// Bytes of `ms` milliseconds of 16-bit audio.
std::uint32_t BytesFor(int ms, int rateHz, int channels) {
  const std::uint64_t frames =
      static_cast<std::uint64_t>(rateHz) * static_cast<std::uint64_t>(ms) / 1000;
  return static_cast<std::uint32_t>(std::max<std::uint64_t>(frames, 1) *
                                    static_cast<std::uint64_t>(channels) * 2);
}

bool ContextGood(pa_context* context) {
  return PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
}

std::string PulseError(int code) {
  return pa_strerror(code);
}

void SignalOnStateChange(pa_context* /*context*/, void* userdata) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
}

struct ConnectWait {
  pa_threaded_mainloop* mainloop;
  bool timedOut;
};

void SignalTimeout(pa_mainloop_api* /*api*/, pa_time_event* /*event*/, const struct timeval* /*tv*/,
                   void* userdata) {
  auto* wait = static_cast<ConnectWait*>(userdata);
  wait->timedOut = true;
  pa_threaded_mainloop_signal(wait->mainloop, 0);
}

// Filled by the listing callbacks on the libpulse thread, read by ours after
// the request has finished.
struct DeviceListing {
  pa_threaded_mainloop* mainloop;
  std::vector<AudioDeviceInfo> devices;
  bool complete = false;
};

void AddDevice(DeviceListing& listing, const char* name, const char* description) {
  if (name == nullptr) {
    return;
  }
  const bool described = description != nullptr && description[0] != '\0';
  listing.devices.push_back(
      AudioDeviceInfo{described ? description : name, std::string(kPulseBackendName), name});
}

// One sink or source of a listing (pa_sink_info or pa_source_info).
template <typename Info>
void OnDeviceInfo(pa_context* /*context*/, const Info* info, int eol, void* userdata) {
  auto* listing = static_cast<DeviceListing*>(userdata);
  if (eol != 0) {
    listing->complete = eol > 0;
    pa_threaded_mainloop_signal(listing->mainloop, 0);
    return;
  }
  AddDevice(*listing, info->name, info->description);
}

struct ServerInfoReply {
  pa_threaded_mainloop* mainloop;
  std::string defaultSink;
};

void OnServerInfo(pa_context* /*context*/, const pa_server_info* info, void* userdata) {
  auto* reply = static_cast<ServerInfoReply*>(userdata);
  if (info != nullptr && info->default_sink_name != nullptr) {
    reply->defaultSink = info->default_sink_name;
  }
  pa_threaded_mainloop_signal(reply->mainloop, 0);
}

// With the main loop locked: waits until `operation` has finished, or the
// connection has failed (which cancels it). Releases the operation.
void AwaitOperation(pa_threaded_mainloop* mainloop, pa_context* context, pa_operation* operation) {
  if (operation == nullptr) {
    return;
  }
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING && ContextGood(context)) {
    pa_threaded_mainloop_wait(mainloop);
  }
  pa_operation_unref(operation);
}

void DestroyConnection(pa_threaded_mainloop* mainloop, pa_context* context) {
  // With the loop's thread stopped, nothing else touches the context.
  pa_threaded_mainloop_stop(mainloop);
  if (context != nullptr) {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
  pa_threaded_mainloop_free(mainloop);
}

// Checks what a stream is opened with; sets `error` and returns false if it
// cannot be, else fills `sampleFormat`.
bool MakeSampleSpec(const AudioDeviceInfo& device, int rateHz, int channels,
                    pa_sample_spec& sampleFormat, std::string& error) {
  if (!device.backend.empty() && device.backend != kPulseBackendName) {
    error = "\"" + device.name + "\" is not a sound-server device";
    return false;
  }
  if (rateHz <= 0 || channels <= 0 || channels > static_cast<int>(PA_CHANNELS_MAX)) {
    error = "unsupported rate or channel count";
    return false;
  }
  sampleFormat.format = PA_SAMPLE_S16NE;
  sampleFormat.rate = static_cast<std::uint32_t>(rateHz);
  sampleFormat.channels = static_cast<std::uint8_t>(channels);
  if (pa_sample_spec_valid(&sampleFormat) == 0) {
    error = "unsupported rate or channel count";
    return false;
  }
  return true;
}

const char* DeviceIdOrDefault(const AudioDeviceInfo& device) {
  return device.id.empty() ? nullptr : device.id.c_str();
}

std::string DeviceLabel(const AudioDeviceInfo& device) {
  return device.id.empty() ? std::string("the default device") : "\"" + device.name + "\"";
}

class PulsePlayback final : public PlaybackStream {
 public:
  PulsePlayback(pa_simple* simple, int rateHz, int channels)
      : simple_(simple), rateHz_(rateHz), channels_(static_cast<std::size_t>(channels)) {}
  ~PulsePlayback() override { pa_simple_free(simple_); }
  PulsePlayback(const PulsePlayback&) = delete;
  PulsePlayback& operator=(const PulsePlayback&) = delete;

  bool Write(std::span<const std::int16_t> samples) override {
    if (samples.size() % channels_ != 0) {
      return false;  // a partial frame would shift every channel after it
    }
    if (samples.empty()) {
      return true;
    }
    int code = 0;
    if (pa_simple_write(simple_, samples.data(), samples.size_bytes(), &code) < 0) {
      return false;
    }
    position_.AddWritten(samples.size() / channels_);
    return true;
  }

  bool Drain() override {
    const std::uint64_t written = position_.Written();
    int code = 0;
    if (pa_simple_drain(simple_, &code) < 0) {
      return false;
    }
    // Everything written so far has now been played, whatever latency the
    // server still reports for the device behind the stream.
    position_.MarkDrained(written);
    return true;
  }

  std::uint64_t PlayedFrames() override {
    int code = 0;
    const pa_usec_t latency = pa_simple_get_latency(simple_, &code);
    if (latency == static_cast<pa_usec_t>(-1)) {
      // Unknown: count nothing played beyond what a drain has confirmed.
      return position_.Played(position_.Written());
    }
    return position_.Played((latency * static_cast<std::uint64_t>(rateHz_) + PA_USEC_PER_SEC / 2) /
                            PA_USEC_PER_SEC);
  }

  std::uint64_t WrittenFrames() const override { return position_.Written(); }

 private:
  pa_simple* simple_;
  int rateHz_;
  std::size_t channels_;
  PlayPosition position_;
};

class PulseCapture final : public CaptureStream {
 public:
  PulseCapture(pa_simple* simple, int channels)
      : simple_(simple), channels_(static_cast<std::size_t>(channels)) {}
  ~PulseCapture() override { pa_simple_free(simple_); }
  PulseCapture(const PulseCapture&) = delete;
  PulseCapture& operator=(const PulseCapture&) = delete;

  std::size_t Read(std::span<std::int16_t> samples) override {
    const std::size_t count = samples.size() / channels_ * channels_;
    if (count == 0 || failed_) {
      return 0;
    }
    int code = 0;
    if (pa_simple_read(simple_, samples.data(), count * sizeof(std::int16_t), &code) < 0) {
      failed_ = true;
      return 0;
    }
    return count;
  }

 private:
  pa_simple* simple_;
  std::size_t channels_;
  bool failed_ = false;
};

}  // namespace

PulseBackend::PulseBackend(pa_threaded_mainloop* mainloop, pa_context* context)
    : mainloop_(mainloop), context_(context) {}

PulseBackend::~PulseBackend() {
  DestroyConnection(mainloop_, context_);
}

std::unique_ptr<PulseBackend> PulseBackend::Connect(std::string& error) {
  pa_threaded_mainloop* mainloop = pa_threaded_mainloop_new();
  if (mainloop == nullptr) {
    error = "cannot create the sound-server main loop";
    return nullptr;
  }
  pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(mainloop), kApplicationName);
  if (context == nullptr) {
    DestroyConnection(mainloop, nullptr);
    error = "cannot create a sound-server context";
    return nullptr;
  }
  pa_context_set_state_callback(context, SignalOnStateChange, mainloop);
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    error = "no sound server: " + PulseError(pa_context_errno(context));
    DestroyConnection(mainloop, context);
    return nullptr;
  }
  if (pa_threaded_mainloop_start(mainloop) < 0) {
    error = "cannot start the sound-server main loop";
    DestroyConnection(mainloop, context);
    return nullptr;
  }

  pa_threaded_mainloop_lock(mainloop);
  ConnectWait wait{mainloop, false};
  pa_time_event* timer =
      pa_context_rttime_new(context, pa_rtclock_now() + kConnectTimeoutUsec, SignalTimeout, &wait);
  pa_context_state_t state = pa_context_get_state(context);
  while (state != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) && !wait.timedOut) {
    pa_threaded_mainloop_wait(mainloop);
    state = pa_context_get_state(context);
  }
  if (timer != nullptr) {
    pa_threaded_mainloop_get_api(mainloop)->time_free(timer);
  }
  const int code = pa_context_errno(context);
  pa_threaded_mainloop_unlock(mainloop);

  if (state != PA_CONTEXT_READY) {
    error = wait.timedOut && PA_CONTEXT_IS_GOOD(state) ? "no sound server answered in time"
                                                       : "no sound server: " + PulseError(code);
    DestroyConnection(mainloop, context);
    return nullptr;
  }
  return std::unique_ptr<PulseBackend>(new PulseBackend(mainloop, context));
}

std::vector<AudioDeviceInfo> PulseBackend::ListDevices(bool sinks) {
  DeviceListing listing{mainloop_, {}, false};
  pa_threaded_mainloop_lock(mainloop_);
  pa_operation* operation =
      sinks ? pa_context_get_sink_info_list(context_, OnDeviceInfo<pa_sink_info>, &listing)
            : pa_context_get_source_info_list(context_, OnDeviceInfo<pa_source_info>, &listing);
  AwaitOperation(mainloop_, context_, operation);
  pa_threaded_mainloop_unlock(mainloop_);
  if (!listing.complete) {
    return {};
  }
  return std::move(listing.devices);
}

bool PulseBackend::Exists(const AudioDeviceInfo& device, bool sink, std::string& error) {
  if (device.id.empty()) {
    return true;  // the server's default
  }
  for (const AudioDeviceInfo& present : ListDevices(sink)) {
    if (present.id == device.id) {
      return true;
    }
  }
  error = "\"" + device.name + "\" is not on the sound server";
  return false;
}

std::vector<AudioDeviceInfo> PulseBackend::OutputDevices() {
  return ListDevices(true);
}

std::vector<AudioDeviceInfo> PulseBackend::InputDevices() {
  return ListDevices(false);
}

bool PulseBackend::DefaultOutput(AudioDeviceInfo& device) {
  ServerInfoReply reply{mainloop_, {}};
  pa_threaded_mainloop_lock(mainloop_);
  AwaitOperation(mainloop_, context_, pa_context_get_server_info(context_, OnServerInfo, &reply));
  pa_threaded_mainloop_unlock(mainloop_);
  if (reply.defaultSink.empty()) {
    return false;
  }
  for (AudioDeviceInfo& sink : OutputDevices()) {
    if (sink.id == reply.defaultSink) {
      device = std::move(sink);
      return true;
    }
  }
  return false;
}

std::unique_ptr<PlaybackStream> PulseBackend::OpenPlayback(const AudioDeviceInfo& device,
                                                           int rateHz, int channels,
                                                           std::string& error) {
  pa_sample_spec sampleFormat{};
  if (!MakeSampleSpec(device, rateHz, channels, sampleFormat, error) ||
      !Exists(device, true, error)) {
    return nullptr;
  }
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = BytesFor(kPlaybackTargetMs, rateHz, channels);
  attr.prebuf = BytesFor(kPlaybackStartMs, rateHz, channels);
  attr.minreq = BytesFor(kPlaybackRequestMs, rateHz, channels);
  attr.fragsize = static_cast<std::uint32_t>(-1);
  int code = 0;
  pa_simple* simple =
      pa_simple_new(nullptr, kApplicationName, PA_STREAM_PLAYBACK, DeviceIdOrDefault(device),
                    "Playback", &sampleFormat, nullptr, &attr, &code);
  if (simple == nullptr) {
    error = "cannot play on " + DeviceLabel(device) + ": " + PulseError(code);
    return nullptr;
  }
  return std::make_unique<PulsePlayback>(simple, rateHz, channels);
}

std::unique_ptr<CaptureStream> PulseBackend::OpenCapture(const AudioDeviceInfo& device, int rateHz,
                                                         int channels, std::string& error) {
  pa_sample_spec sampleFormat{};
  if (!MakeSampleSpec(device, rateHz, channels, sampleFormat, error) ||
      !Exists(device, false, error)) {
    return nullptr;
  }
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(-1);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = BytesFor(kCaptureFragmentMs, rateHz, channels);
  int code = 0;
  pa_simple* simple =
      pa_simple_new(nullptr, kApplicationName, PA_STREAM_RECORD, DeviceIdOrDefault(device),
                    "Capture", &sampleFormat, nullptr, &attr, &code);
  if (simple == nullptr) {
    error = "cannot capture from " + DeviceLabel(device) + ": " + PulseError(code);
    return nullptr;
  }
  return std::make_unique<PulseCapture>(simple, channels);
}

}  // namespace sequelo::audio
