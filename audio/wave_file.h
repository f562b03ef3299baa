// The program's own wave files: RIFF/WAVE, PCM, mono, 11025 Hz, 16-bit.
// Checking and reading a file, playing one on the local device, and writing
// the sound-file buffer out as one. Sending one keyed is a transmit job
// (tx/wave_send.h).
//
// Threads: any thread may check, read or write a file. WriteCodeSoundFile
// reads the buffer it is given: call it on the thread that transmits.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/tone_generator.h"
#include "core/message_sink.h"

namespace sequelo::audio {

// What a wave file must be to be played.
inline constexpr std::uint16_t kWavePcmFormatTag = 1;
inline constexpr std::uint16_t kWaveChannels = 1;
inline constexpr std::uint32_t kWaveSamplesPerSec = 11025;
inline constexpr std::uint16_t kWaveBitsPerSample = 16;

// The longest play: at most this many samples are read from a file.
inline constexpr std::size_t kMaxWaveSamples = 359424;
// Samples are read in blocks of this many bytes.
inline constexpr std::size_t kWaveReadBlockBytes = 1024;
// The size of a written file before its samples.
inline constexpr std::size_t kWaveHeaderBytes = 44;

inline constexpr std::string_view kWaveFormatNotSupported = "File format not supported.";
inline constexpr std::string_view kWaveTooLong =
    "Wave file not sent: it would key the transmitter longer than allowed (MaxTransmitSeconds).";

// The body of a "fmt " chunk as far as the program reads it: 18 bytes,
// little-endian. Fields a shorter chunk does not supply are 0.
struct WaveFormatRecord {
  std::uint16_t formatTag = 0;
  std::uint16_t channels = 0;
  std::uint32_t samplesPerSec = 0;
  std::uint32_t avgBytesPerSec = 0;
  std::uint16_t blockAlign = 0;
  std::uint16_t bitsPerSample = 0;
  std::uint16_t extensionSize = 0;
};
inline constexpr std::size_t kWaveFormatRecordBytes = 18;

// Decodes the first (up to) 18 bytes of a format chunk; fields beyond the
// bytes given stay 0.
WaveFormatRecord DecodeWaveFormatRecord(std::span<const std::uint8_t> bytes);

// True when `path` names a regular file that can be opened for reading.
bool FileExists(const std::string& path);

// Reads 4 bytes from `file`; true only if exactly 4 were read and they equal
// `tag` (case-sensitive).
bool ReadChunkTag(std::FILE* file, std::string_view tag);

// True when the file opens and its header, up to and including the format
// chunk, is one the program plays. Does not look for the samples.
bool IsValidWaveFile(const std::string& path);

// How reading or playing a wave file ended.
// kTooLong: refused before keying, as it would hold the transmitter keyed
// longer than it may be.
enum class WaveOutcome { kPlayed, kFailed, kNotSupported, kTooLong };

// Reads the samples of a wave file the program plays, at most
// kMaxWaveSamples. kNotSupported when its header is not one the program
// plays, kFailed when it cannot be opened or holds no samples.
WaveOutcome ReadWaveFile(const std::string& path, std::vector<std::int16_t>& samples);

// Plays a wave file on the local device (never keyed) and waits until it
// has played, or `stop` (optional) is set. Any thread.
WaveOutcome PlayWaveFileLocal(ToneGenerator& tones, const std::string& path,
                              const std::atomic<bool>* stop = nullptr);

// A file whose header is not one the program plays ("File format not
// supported.") and one too long to send are reported to the operator; other
// outcomes say nothing.
void ReportWaveOutcome(WaveOutcome outcome, core::MessageSink& messages);

// Writes the buffer's samples as a wave file, replacing any file at `path`.
// Returns false (with a reason in `error`, if given) when the file cannot be
// created or written completely.
bool WriteCodeSoundFile(const SoundFileBuffer& buffer, const std::string& path,
                        std::string* error = nullptr);

}  // namespace sequelo::audio
