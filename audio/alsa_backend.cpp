// ALSA backend: lists cards and their PCM devices through the control
// interface and plays and captures with blocking interleaved reads and
// writes. Under- and overruns are recovered from and the stream goes on;
// only an error ALSA cannot recover from ends it. Listing and opening from
// any thread; each stream from one thread at a time.
#include "audio/alsa_backend.h"

#include "audio/play_position.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace sequelo::audio {
namespace {

// Size of the device buffer ALSA is asked for; reads and writes go in steps
// of about a quarter of it.
constexpr unsigned int kBufferLatencyUs = 100000;
// Longest sleep while a device that said "try again" gets ready.
constexpr int kWaitMs = 100;

void IgnoreAlsaError(const char* /*file*/, int /*line*/, const char* /*function*/, int /*err*/,
                     const char* /*fmt*/, ...) {}

void SilenceAlsaLib() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(IgnoreAlsaError); });
}

bool CanOpen(const char* id, snd_pcm_stream_t stream) {
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, id, stream, SND_PCM_NONBLOCK) < 0) {
    return false;
  }
  snd_pcm_close(pcm);
  return true;
}

std::vector<AudioDeviceInfo> ListDevices(snd_pcm_stream_t stream) {
  std::vector<AudioDeviceInfo> devices;
  const std::string defaultId(kAlsaDefaultId);
  if (CanOpen(defaultId.c_str(), stream)) {
    devices.push_back({defaultId, std::string(kAlsaBackendName), defaultId});
  }
  snd_ctl_card_info_t* cardInfo = nullptr;
  snd_pcm_info_t* pcmInfo = nullptr;
  if (snd_ctl_card_info_malloc(&cardInfo) < 0 || snd_pcm_info_malloc(&pcmInfo) < 0) {
    snd_ctl_card_info_free(cardInfo);
    return devices;
  }
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    snd_ctl_t* ctl = nullptr;
    const std::string hw = "hw:" + std::to_string(card);
    if (snd_ctl_open(&ctl, hw.c_str(), 0) < 0) {
      continue;
    }
    if (snd_ctl_card_info(ctl, cardInfo) == 0) {
      const std::string cardId = snd_ctl_card_info_get_id(cardInfo);
      const std::string cardName = snd_ctl_card_info_get_name(cardInfo);
      int device = -1;
      while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
        snd_pcm_info_set_device(pcmInfo, static_cast<unsigned int>(device));
        snd_pcm_info_set_subdevice(pcmInfo, 0);
        snd_pcm_info_set_stream(pcmInfo, stream);
        if (snd_ctl_pcm_info(ctl, pcmInfo) < 0) {
          continue;  // this device does not go this way
        }
        devices.push_back({cardName + ": " + snd_pcm_info_get_name(pcmInfo),
                           std::string(kAlsaBackendName),
                           "plughw:CARD=" + cardId + ",DEV=" + std::to_string(device)});
      }
    }
    snd_ctl_close(ctl);
  }
  snd_pcm_info_free(pcmInfo);
  snd_ctl_card_info_free(cardInfo);
  return devices;
}

// Opens and sets up a PCM for 16-bit interleaved audio; nullptr and `error`
// if that fails.
snd_pcm_t* OpenPcm(const AudioDeviceInfo& device, snd_pcm_stream_t stream, int rateHz, int channels,
                   std::string& error) {
  if (!device.backend.empty() && device.backend != kAlsaBackendName) {
    error = "\"" + device.name + "\" is not an ALSA device";
    return nullptr;
  }
  if (rateHz <= 0 || channels <= 0) {
    error = "unsupported rate or channel count";
    return nullptr;
  }
  const std::string id = device.id.empty() ? std::string(kAlsaDefaultId) : device.id;
  snd_pcm_t* pcm = nullptr;
  int code = snd_pcm_open(&pcm, id.c_str(), stream, 0);
  if (code < 0) {
    error = "cannot open " + id + ": " + snd_strerror(code);
    return nullptr;
  }
  code = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED,
                            static_cast<unsigned int>(channels), static_cast<unsigned int>(rateHz),
                            1, kBufferLatencyUs);
  if (code < 0) {
    error = "cannot set up " + id + ": " + snd_strerror(code);
    snd_pcm_close(pcm);
    return nullptr;
  }
  return pcm;
}

class AlsaPlayback final : public PlaybackStream {
 public:
  AlsaPlayback(snd_pcm_t* pcm, int channels)
      : pcm_(pcm), channels_(static_cast<std::size_t>(channels)) {}
  ~AlsaPlayback() override { snd_pcm_close(pcm_); }
  AlsaPlayback(const AlsaPlayback&) = delete;
  AlsaPlayback& operator=(const AlsaPlayback&) = delete;

  bool Write(std::span<const std::int16_t> samples) override {
    if (samples.size() % channels_ != 0) {
      return false;  // a partial frame would shift every channel after it
    }
    const std::int16_t* data = samples.data();
    auto frames = static_cast<snd_pcm_uframes_t>(samples.size() / channels_);
    while (frames > 0) {
      snd_pcm_sframes_t done = snd_pcm_writei(pcm_, data, frames);
      if (done == -EAGAIN) {
        snd_pcm_wait(pcm_, kWaitMs);
        continue;
      }
      if (done < 0) {
        // An underrun (the device ran dry) or a suspend: start again.
        if (snd_pcm_recover(pcm_, static_cast<int>(done), 1) < 0) {
          return false;
        }
        continue;
      }
      const auto count = static_cast<snd_pcm_uframes_t>(done);
      data += count * channels_;
      frames -= count;
      position_.AddWritten(count);
    }
    return true;
  }

  bool Drain() override {
    const std::uint64_t written = position_.Written();
    // A stream that has run dry (an underrun) has played everything too.
    const int drained = snd_pcm_drain(pcm_);
    if (drained < 0 && drained != -EPIPE) {
      snd_pcm_prepare(pcm_);
      return false;
    }
    position_.MarkDrained(written);
    return snd_pcm_prepare(pcm_) == 0;
  }

  std::uint64_t PlayedFrames() override {
    snd_pcm_sframes_t delay = 0;
    // In an underrun (no delay), all has been played.
    if (snd_pcm_delay(pcm_, &delay) == 0 && delay > 0) {
      return position_.Played(static_cast<std::uint64_t>(delay));
    }
    return position_.Played(std::nullopt);
  }

  std::uint64_t WrittenFrames() const override { return position_.Written(); }

 private:
  snd_pcm_t* pcm_;
  std::size_t channels_;
  PlayPosition position_;
};

class AlsaCapture final : public CaptureStream {
 public:
  AlsaCapture(snd_pcm_t* pcm, int channels)
      : pcm_(pcm), channels_(static_cast<std::size_t>(channels)) {}
  ~AlsaCapture() override { snd_pcm_close(pcm_); }
  AlsaCapture(const AlsaCapture&) = delete;
  AlsaCapture& operator=(const AlsaCapture&) = delete;

  std::size_t Read(std::span<std::int16_t> samples) override {
    const std::size_t total = samples.size() / channels_;
    std::int16_t* data = samples.data();
    std::size_t frames = total;
    while (frames > 0) {
      snd_pcm_sframes_t done = snd_pcm_readi(pcm_, data, frames);
      if (done == -EAGAIN) {
        snd_pcm_wait(pcm_, kWaitMs);
        continue;
      }
      if (done < 0) {
        // An overrun (we read too late) or a suspend: start again.
        if (snd_pcm_recover(pcm_, static_cast<int>(done), 1) < 0) {
          return 0;
        }
        continue;
      }
      if (done == 0) {
        return 0;  // the device has gone
      }
      const auto count = static_cast<std::size_t>(done);
      data += count * channels_;
      frames -= count;
    }
    return total * channels_;
  }

 private:
  snd_pcm_t* pcm_;
  std::size_t channels_;
};

}  // namespace

AlsaBackend::AlsaBackend() {
  SilenceAlsaLib();
}

std::vector<AudioDeviceInfo> AlsaBackend::OutputDevices() {
  return ListDevices(SND_PCM_STREAM_PLAYBACK);
}

std::vector<AudioDeviceInfo> AlsaBackend::InputDevices() {
  return ListDevices(SND_PCM_STREAM_CAPTURE);
}

bool AlsaBackend::DefaultOutput(AudioDeviceInfo& device) {
  const std::string id(kAlsaDefaultId);
  if (!CanOpen(id.c_str(), SND_PCM_STREAM_PLAYBACK)) {
    return false;
  }
  device = AudioDeviceInfo{id, std::string(kAlsaBackendName), id};
  return true;
}

std::unique_ptr<PlaybackStream> AlsaBackend::OpenPlayback(const AudioDeviceInfo& device, int rateHz,
                                                          int channels, std::string& error) {
  snd_pcm_t* pcm = OpenPcm(device, SND_PCM_STREAM_PLAYBACK, rateHz, channels, error);
  if (pcm == nullptr) {
    return nullptr;
  }
  return std::make_unique<AlsaPlayback>(pcm, channels);
}

std::unique_ptr<CaptureStream> AlsaBackend::OpenCapture(const AudioDeviceInfo& device, int rateHz,
                                                        int channels, std::string& error) {
  snd_pcm_t* pcm = OpenPcm(device, SND_PCM_STREAM_CAPTURE, rateHz, channels, error);
  if (pcm == nullptr) {
    return nullptr;
  }
  return std::make_unique<AlsaCapture>(pcm, channels);
}

}  // namespace sequelo::audio
