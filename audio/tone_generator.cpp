#include "audio/tone_generator.h"

#include <algorithm>
#include <cmath>

#include "audio/paced_devices.h"

namespace sequelo::audio {

void SoundFileBuffer::Append(std::span<const std::int16_t> samples) {
  const std::size_t room = kCapacity - count_;
  const std::size_t take = std::min(room, samples.size());
  std::copy_n(samples.begin(), take, samples_.begin() + static_cast<std::ptrdiff_t>(count_));
  count_ += take;
}

std::vector<std::int16_t> SynthesiseTone(std::uint32_t freqHz, std::uint32_t durationMs) {
  const std::uint32_t ms = std::min(durationMs, kMaxToneMs);
  const std::uint32_t n = ms * static_cast<std::uint32_t>(kPlaybackRateHz) / 1000U;
  const double step = static_cast<double>(freqHz) * kPhaseStep;
  std::vector<std::int16_t> samples(n);
  double phase = 0.0;
  for (std::uint32_t i = 0; i < n; ++i) {
    samples[i] = static_cast<std::int16_t>(std::sin(phase) * kToneAmplitude);
    phase = phase + step;
  }
  return samples;
}

std::vector<std::int16_t> SynthesiseDoubleTone(std::uint32_t lowHz, std::uint32_t highHz,
                                               std::uint32_t durationMs) {
  const std::uint64_t n = std::uint64_t{durationMs} * kPlaybackRateHz / 1000U;
  std::vector<std::int16_t> samples(static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double t = static_cast<double>(i) * kPhaseStep;
    samples[i] = static_cast<std::int16_t>((std::sin(t * lowHz) + std::sin(t * highHz)) *
                                           (kToneAmplitude / 2.0));
  }
  return samples;
}

ToneGenerator::ToneGenerator(AudioBackend& audio) : audio_(audio) {}

void ToneGenerator::ListOutputDevices() {
  slots_.clear();
  std::vector<AudioDeviceInfo> devices = audio_.OutputDevices();
  // The Loopback device comes last and is always offered: with more devices
  // than slots, the last system device gives way to it.
  if (devices.size() > kMaxOutputSlots && devices.back().backend == "loopback") {
    devices.erase(devices.begin() + static_cast<std::ptrdiff_t>(kMaxOutputSlots - 1),
                  devices.end() - 1);
  }
  for (const AudioDeviceInfo& device : devices) {
    if (!AddOutputDevice(device)) {
      break;
    }
  }
}

bool ToneGenerator::AddOutputDevice(const AudioDeviceInfo& device) {
  if (slots_.size() >= kMaxOutputSlots) {
    return false;
  }
  slots_.push_back(device);
  return true;
}

bool ToneGenerator::OpenOutputDevices(int selectedIndex) {
  std::lock_guard lock(localLock_);
  transmit_.reset();
  local_.reset();
  openError_.clear();

  AudioDeviceInfo defaultOutput;
  const bool haveDefault = audio_.DefaultOutput(defaultOutput);
  AudioDeviceInfo chosen;
  if (selectedIndex >= 0 && static_cast<std::size_t>(selectedIndex) < slots_.size()) {
    chosen = slots_[static_cast<std::size_t>(selectedIndex)];
  } else if (haveDefault) {
    chosen = defaultOutput;
  }
  // The two devices stand or fall each on its own: a missing speaker must
  // not stop the station from transmitting, nor the reverse.
  if (!chosen.name.empty() || !chosen.id.empty()) {
    transmit_ = audio_.OpenPlayback(chosen, kPlaybackRateHz, 1, openError_);
  } else {
    openError_ = "no output device";
  }
  std::string localError;
  if (haveDefault) {
    local_ = audio_.OpenPlayback(defaultOutput, kPlaybackRateHz, 1, localError);
  }
  if (!local_) {
    local_ = MakeNullPlayback(kPlaybackRateHz);
  }
  return transmit_ != nullptr;
}

void ToneGenerator::CloseOutputDevices() {
  std::lock_guard lock(localLock_);
  transmit_.reset();
  local_.reset();
}

void ToneGenerator::PlayTone(std::uint32_t freqHz, std::uint32_t durationMs) {
  if (!transmit_) {
    return;
  }
  const std::vector<std::int16_t> samples = SynthesiseTone(freqHz, durationMs);
  if (samples.empty()) {
    return;
  }
  soundFile_.Append(samples);
  transmit_->Write(samples);
}

bool ToneGenerator::PlayOnTransmit(std::span<const std::int16_t> samples) {
  return transmit_ != nullptr && transmit_->Write(samples);
}

bool ToneGenerator::DrainTransmit() {
  return transmit_ == nullptr || transmit_->Drain();
}

bool ToneGenerator::PlayLocal(std::span<const std::int16_t> samples,
                              const std::atomic<bool>* stop) {
  constexpr std::size_t kPieceSamples = kPlaybackRateHz / 4;
  const auto stopped = [stop] { return stop != nullptr && stop->load(); };
  // The lock is taken for each piece, so a device change waits at most one.
  for (std::size_t at = 0; at < samples.size(); at += kPieceSamples) {
    std::lock_guard lock(localLock_);
    if (!local_ || stopped() ||
        !local_->Write(samples.subspan(at, std::min(kPieceSamples, samples.size() - at)))) {
      return false;
    }
  }
  std::lock_guard lock(localLock_);
  return local_ != nullptr && local_->Drain() && !stopped();
}

bool ToneGenerator::HasLocalDevice() {
  std::lock_guard lock(localLock_);
  return local_ != nullptr;
}

}  // namespace sequelo::audio
