// PulseAudio backend. Listing goes through one context on a threaded main
// loop: the calling thread (any of ours) sends a request and sleeps on the
// loop's condition; the libpulse callbacks only copy the answer out and
// signal. Streams work the same way, each on a connection of its own, and
// wait in the calling thread, never longer than a few seconds:
// playback with a short target buffer so that writing goes at the device's
// pace, capture with short fragments so that audio arrives in small steps.
#include "audio/pulse_backend.h"

#include "audio/play_position.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/rtclock.h>
#include <pulse/sample.h>
#include <pulse/stream.h>
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
// A stream that neither takes nor gives audio for this long has stalled:
// its write, read or drain fails instead of waiting on.
constexpr pa_usec_t kStallTimeoutUsec = 3 * PA_USEC_PER_SEC;

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

// Connects a context on a main loop of its own and starts the loop; on
// failure sets `error` and leaves nothing behind.
bool OpenConnection(pa_threaded_mainloop*& mainloopOut, pa_context*& contextOut,
                    std::string& error) {
  pa_threaded_mainloop* mainloop = pa_threaded_mainloop_new();
  if (mainloop == nullptr) {
    error = "cannot create the sound-server main loop";
    return false;
  }
  pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(mainloop), kApplicationName);
  if (context == nullptr) {
    DestroyConnection(mainloop, nullptr);
    error = "cannot create a sound-server context";
    return false;
  }
  pa_context_set_state_callback(context, SignalOnStateChange, mainloop);
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    error = "no sound server: " + PulseError(pa_context_errno(context));
    DestroyConnection(mainloop, context);
    return false;
  }
  if (pa_threaded_mainloop_start(mainloop) < 0) {
    error = "cannot start the sound-server main loop";
    DestroyConnection(mainloop, context);
    return false;
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
    return false;
  }
  mainloopOut = mainloop;
  contextOut = context;
  return true;
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

// With the main loop locked: waits until `done()` holds or `timeout` has
// passed, whichever comes first; returns done(). Every callback of a stream
// signals the loop, so the condition is looked at again on each event.
template <typename Done>
bool WaitFor(pa_threaded_mainloop* mainloop, pa_context* context, pa_usec_t timeout, Done done) {
  if (done()) {
    return true;
  }
  ConnectWait wait{mainloop, false};
  pa_time_event* timer =
      pa_context_rttime_new(context, pa_rtclock_now() + timeout, SignalTimeout, &wait);
  while (!done() && !wait.timedOut) {
    pa_threaded_mainloop_wait(mainloop);
  }
  if (timer != nullptr) {
    pa_threaded_mainloop_get_api(mainloop)->time_free(timer);
  }
  return done();
}

void SignalOnStreamEvent(pa_stream* /*stream*/, void* userdata) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
}

void SignalOnStreamRequest(pa_stream* /*stream*/, std::size_t /*bytes*/, void* userdata) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
}

void SignalOnSuccess(pa_stream* /*stream*/, int /*success*/, void* userdata) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
}

// One stream on a connection of its own, so that a stalled stream holds up
// nobody else. Every wait is bounded: a server that stops taking or giving
// audio fails the stream within kStallTimeoutUsec instead of blocking the
// caller for ever (which would also keep the station from shutting down).
class PulseStream {
 public:
  PulseStream() = default;
  ~PulseStream() {
    if (mainloop_ == nullptr) {
      return;
    }
    pa_threaded_mainloop_lock(mainloop_);
    if (stream_ != nullptr) {
      pa_stream_set_state_callback(stream_, nullptr, nullptr);
      pa_stream_set_write_callback(stream_, nullptr, nullptr);
      pa_stream_set_read_callback(stream_, nullptr, nullptr);
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
    }
    pa_threaded_mainloop_unlock(mainloop_);
    DestroyConnection(mainloop_, context_);
  }
  PulseStream(const PulseStream&) = delete;
  PulseStream& operator=(const PulseStream&) = delete;

  // Connects and opens the stream; sets `error` (as libpulse words it) and
  // returns false when it cannot.
  bool Open(bool playback, const char* device, const pa_sample_spec& sampleFormat,
            const pa_buffer_attr& attr, std::string& error) {
    if (!OpenConnection(mainloop_, context_, error)) {
      return false;
    }
    pa_threaded_mainloop_lock(mainloop_);
    stream_ = pa_stream_new(context_, playback ? "Playback" : "Capture", &sampleFormat, nullptr);
    bool ready = false;
    if (stream_ != nullptr) {
      pa_stream_set_state_callback(stream_, SignalOnStreamEvent, mainloop_);
      pa_stream_set_write_callback(stream_, SignalOnStreamRequest, mainloop_);
      pa_stream_set_read_callback(stream_, SignalOnStreamRequest, mainloop_);
      // The flags the simple API uses: the latency follows the buffer
      // attributes, and timing updates come on their own.
      const auto flags = static_cast<pa_stream_flags_t>(
          PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE);
      const int connected =
          playback ? pa_stream_connect_playback(stream_, device, &attr, flags, nullptr, nullptr)
                   : pa_stream_connect_record(stream_, device, &attr, flags);
      ready = connected >= 0 &&
              WaitFor(mainloop_, context_, kConnectTimeoutUsec,
                      [this] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; }) &&
              pa_stream_get_state(stream_) == PA_STREAM_READY;
    }
    if (!ready) {
      error = pa_context_errno(context_) != 0 ? PulseError(pa_context_errno(context_))
                                              : std::string("the sound server did not answer");
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return ready;
  }

  // Queues all of `bytes`, waiting for room as the server asks for more.
  bool Write(const void* data, std::size_t bytes, std::size_t frameBytes) {
    pa_threaded_mainloop_lock(mainloop_);
    const auto* next = static_cast<const std::uint8_t*>(data);
    bool good = true;
    while (bytes > 0 && good) {
      std::size_t room = 0;
      good = WaitFor(mainloop_, context_, kStallTimeoutUsec,
                     [&] {
                       if (!Good()) {
                         return true;
                       }
                       room = pa_stream_writable_size(stream_);
                       return room != static_cast<std::size_t>(-1) && room >= frameBytes;
                     }) &&
             Good();
      if (good) {
        const std::size_t part = std::min(bytes, room / frameBytes * frameBytes);
        // A stream that has run dry keeps moving its read position on for a
        // moment, past where the last write ended; audio written there would
        // lose its first milliseconds (the start of the next call's first
        // tone). After a drain nothing is left to play, so the next write
        // goes where the server reads now.
        const pa_seek_mode_t seek = restart_ ? PA_SEEK_RELATIVE_ON_READ : PA_SEEK_RELATIVE;
        good = pa_stream_write(stream_, next, part, nullptr, 0, seek) == 0;
        restart_ = false;
        next += part;
        bytes -= part;
      }
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return good;
  }

  // Waits until everything written has been played.
  bool Drain(pa_usec_t timeout) {
    pa_threaded_mainloop_lock(mainloop_);
    pa_operation* operation = pa_stream_drain(stream_, SignalOnSuccess, mainloop_);
    bool drained =
        operation != nullptr &&
        WaitFor(
            mainloop_, context_, timeout,
            [&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING || !Good(); }) &&
        pa_operation_get_state(operation) == PA_OPERATION_DONE;
    if (operation != nullptr) {
      pa_operation_cancel(operation);
      pa_operation_unref(operation);
    }
    drained = drained && Good();
    restart_ = drained;
    pa_threaded_mainloop_unlock(mainloop_);
    return drained;
  }

  // The time until what is written now would be heard, or false while the
  // server has not told it yet.
  bool Latency(pa_usec_t& latency) {
    pa_threaded_mainloop_lock(mainloop_);
    int negative = 0;
    const bool known = pa_stream_get_latency(stream_, &latency, &negative) == 0;
    if (known && negative != 0) {
      latency = 0;
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return known;
  }

  // Fills all of `bytes` with what the server records.
  bool Read(void* data, std::size_t bytes) {
    pa_threaded_mainloop_lock(mainloop_);
    auto* next = static_cast<std::uint8_t*>(data);
    bool good = true;
    while (bytes > 0 && good) {
      if (fragment_ == nullptr) {
        good = WaitFor(mainloop_, context_, kStallTimeoutUsec,
                       [this] { return !Good() || pa_stream_readable_size(stream_) > 0; }) &&
               Good() && pa_stream_peek(stream_, &fragment_, &fragmentBytes_) == 0;
        fragmentRead_ = 0;
        if (good && fragment_ == nullptr && fragmentBytes_ > 0) {
          pa_stream_drop(stream_);  // a hole in the recording: skipped
        }
        if (!good || fragment_ == nullptr) {
          fragment_ = nullptr;
          continue;
        }
      }
      const std::size_t part = std::min(bytes, fragmentBytes_ - fragmentRead_);
      std::copy_n(static_cast<const std::uint8_t*>(fragment_) + fragmentRead_, part, next);
      next += part;
      bytes -= part;
      fragmentRead_ += part;
      if (fragmentRead_ == fragmentBytes_) {
        pa_stream_drop(stream_);
        fragment_ = nullptr;
      }
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return good;
  }

 private:
  bool Good() const {
    return PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)) && ContextGood(context_);
  }

  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  // The recorded fragment being read (capture), valid until dropped.
  const void* fragment_ = nullptr;
  std::size_t fragmentBytes_ = 0;
  std::size_t fragmentRead_ = 0;
  // Playback: everything written has been played (a drain succeeded).
  bool restart_ = false;
};

class PulsePlayback final : public PlaybackStream {
 public:
  PulsePlayback(std::unique_ptr<PulseStream> stream, int rateHz, int channels)
      : stream_(std::move(stream)),
        rateHz_(rateHz),
        channels_(static_cast<std::size_t>(channels)) {}

  bool Write(std::span<const std::int16_t> samples) override {
    if (samples.size() % channels_ != 0) {
      return false;  // a partial frame would shift every channel after it
    }
    if (samples.empty()) {
      return true;
    }
    if (!stream_->Write(samples.data(), samples.size_bytes(), channels_ * sizeof(std::int16_t))) {
      return false;
    }
    position_.AddWritten(samples.size() / channels_);
    return true;
  }

  bool Drain() override {
    const std::uint64_t written = position_.Written();
    // What is buffered plays in kPlaybackTargetMs; the device's own latency
    // comes on top. A drain that takes longer than this has stalled.
    if (!stream_->Drain(kStallTimeoutUsec + kPlaybackTargetMs * PA_USEC_PER_MSEC)) {
      return false;
    }
    // Everything written so far has now been played, whatever latency the
    // server still reports for the device behind the stream.
    position_.MarkDrained(written);
    return true;
  }

  std::uint64_t PlayedFrames() override {
    pa_usec_t latency = 0;
    if (!stream_->Latency(latency)) {
      // Unknown: count nothing played beyond what a drain has confirmed.
      return position_.Played(position_.Written());
    }
    return position_.Played((latency * static_cast<std::uint64_t>(rateHz_) + PA_USEC_PER_SEC / 2) /
                            PA_USEC_PER_SEC);
  }

  std::uint64_t WrittenFrames() const override { return position_.Written(); }

 private:
  std::unique_ptr<PulseStream> stream_;
  int rateHz_;
  std::size_t channels_;
  PlayPosition position_;
};

class PulseCapture final : public CaptureStream {
 public:
  PulseCapture(std::unique_ptr<PulseStream> stream, int channels)
      : stream_(std::move(stream)), channels_(static_cast<std::size_t>(channels)) {}

  std::size_t Read(std::span<std::int16_t> samples) override {
    const std::size_t count = samples.size() / channels_ * channels_;
    if (count == 0 || failed_) {
      return 0;
    }
    if (!stream_->Read(samples.data(), count * sizeof(std::int16_t))) {
      failed_ = true;
      return 0;
    }
    return count;
  }

 private:
  std::unique_ptr<PulseStream> stream_;
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
  pa_threaded_mainloop* mainloop = nullptr;
  pa_context* context = nullptr;
  if (!OpenConnection(mainloop, context, error)) {
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
  auto stream = std::make_unique<PulseStream>();
  std::string reason;
  if (!stream->Open(true, DeviceIdOrDefault(device), sampleFormat, attr, reason)) {
    error = "cannot play on " + DeviceLabel(device) + ": " + reason;
    return nullptr;
  }
  return std::make_unique<PulsePlayback>(std::move(stream), rateHz, channels);
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
  auto stream = std::make_unique<PulseStream>();
  std::string reason;
  if (!stream->Open(false, DeviceIdOrDefault(device), sampleFormat, attr, reason)) {
    error = "cannot capture from " + DeviceLabel(device) + ": " + reason;
    return nullptr;
  }
  return std::make_unique<PulseCapture>(std::move(stream), channels);
}

}  // namespace sequelo::audio
