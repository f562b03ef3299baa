// The output side of the station: the list of output devices, the transmit
// device (the one selected, which feeds the transmitter) and the local device
// (the system's default output, for sounds on receipt), the tone synthesis at
// 11025 Hz, and the sound-file buffer that keeps a copy of every tone played
// since a call began.
//
// Threads: the transmit device and the sound-file buffer belong to the one
// thread that transmits (a station's transmit thread), which also opens and
// closes the devices while it runs. The local device is also played on by
// the local sound thread; a lock of its own keeps it from being replaced
// mid-write.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "audio/audio_device.h"

namespace sequelo::audio {

inline constexpr std::size_t kMaxOutputSlots = 10;
inline constexpr std::uint32_t kMaxToneMs = 2972;            // the longest tone: 32,766 samples
inline constexpr double kToneAmplitude = 14745.6;            // 0.45 of full scale
inline constexpr double kPhaseStep = 0.0005699034292226382;  // 2 pi / 11025

// Copy of what was played since a call began: 360,448 samples at 11025 Hz.
class SoundFileBuffer {
 public:
  static constexpr std::size_t kCapacity = 360448;
  void Clear() { count_ = 0; }
  // Appends what fits; the rest is dropped (the sound still plays).
  void Append(std::span<const std::int16_t> samples);
  std::span<const std::int16_t> Samples() const { return {samples_.data(), count_}; }
  std::size_t Count() const { return count_; }

 private:
  std::array<std::int16_t, kCapacity> samples_{};
  std::size_t count_ = 0;
};

// The samples of a tone: n = ms x 11025 / 1000 (truncated), every tone from
// phase 0, sin(phase) x 14745.6 truncated toward zero, phase accumulated by
// addition. `durationMs` is capped at kMaxToneMs.
std::vector<std::int16_t> SynthesiseTone(std::uint32_t freqHz, std::uint32_t durationMs);

// Two tones at once (a siren double tone), each at half a tone's level so
// that their sum peaks no higher than one tone; from phase 0, not capped.
std::vector<std::int16_t> SynthesiseDoubleTone(std::uint32_t lowHz, std::uint32_t highHz,
                                               std::uint32_t durationMs);

class ToneGenerator {
 public:
  // `audio` must outlive the generator.
  explicit ToneGenerator(AudioBackend& audio);

  // Fills the output slots from the audio system, in its order, through
  // AddOutputDevice: at most 10 devices are listed.
  void ListOutputDevices();
  // Adds one device to the slots; false (and nothing added) once 10 are
  // there, which ends the listing.
  bool AddOutputDevice(const AudioDeviceInfo& device);
  const std::vector<AudioDeviceInfo>& OutputSlots() const { return slots_; }

  // Opens the transmit device on slot `selectedIndex` (an index outside the
  // slots takes the system's default output) and the local device on the
  // default output. Each works if it alone could be opened; without a
  // default output the local device plays into nothing at the right pace.
  // Returns false when the transmit device could not be opened.
  bool OpenOutputDevices(int selectedIndex);
  // Closes both (at shut-down).
  void CloseOutputDevices();

  // Synthesises and plays one tone on the transmit device and appends it to
  // the sound-file buffer. Returns once the tone has been handed to the
  // device at its real-time pace; consecutive tones play back to back.
  // 0 ms plays nothing; without a transmit device nothing is played or kept.
  void PlayTone(std::uint32_t freqHz, std::uint32_t durationMs);

  // Samples on the transmit device, not kept. False without a transmit
  // device or when the device failed.
  bool PlayOnTransmit(std::span<const std::int16_t> samples);
  // Waits until everything sent to the transmit device has played (call
  // before releasing the transmitter). False when the device failed.
  bool DrainTransmit();

  // Plays samples on the local device and waits until they have played,
  // a quarter of a second at a time: once `stop` (optional) is set, it ends
  // within one of those. Any thread; one local play at a time. False when
  // it failed, was stopped, or there is no local device.
  bool PlayLocal(std::span<const std::int16_t> samples, const std::atomic<bool>* stop = nullptr);
  bool HasLocalDevice();

  bool HasTransmitDevice() const { return transmit_ != nullptr; }
  // The open devices, to look at (tests, diagnostics); playing goes through
  // the functions above.
  PlaybackStream* TransmitDevice() { return transmit_.get(); }
  PlaybackStream* LocalDevice() { return local_.get(); }
  // Why the transmit device could not be opened.
  const std::string& OpenError() const { return openError_; }

  SoundFileBuffer& SoundFile() { return soundFile_; }

 private:
  AudioBackend& audio_;
  std::vector<AudioDeviceInfo> slots_;
  std::unique_ptr<PlaybackStream> transmit_;
  std::mutex localLock_;  // the local device, against a reopen
  std::unique_ptr<PlaybackStream> local_;
  std::string openError_;
  SoundFileBuffer soundFile_;
};

}  // namespace sequelo::audio
