// The program's own wave files: the input is written to a file (one per
// process, in memory where possible) and read back with ReadWaveFile and
// IsValidWaveFile.
//
// Checked against a reading of the same bytes in memory: the header is
// accepted exactly when it is "RIFF", size, "WAVE", "fmt " with a format of
// 16 bytes or more that the file holds whole and that says PCM, mono,
// 11025 Hz, 16-bit, followed by "data" and a size; the samples are then every
// whole little-endian pair after that, at most kMaxWaveSamples of them.
// Also: the input's bytes taken as samples, written as a sound file and read
// back, give the same samples.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "audio/tone_generator.h"
#include "audio/wave_file.h"
#include "fuzz/fuzz_check.h"

namespace {

namespace audio = sequelo::audio;

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

bool TagAt(const std::uint8_t* data, std::size_t size, std::size_t at, const char* tag) {
  return size >= at + 4 && std::memcmp(data + at, tag, 4) == 0;
}

struct Expected {
  bool headerOk = false;  // through the format chunk
  audio::WaveOutcome outcome = audio::WaveOutcome::kNotSupported;
  std::vector<std::int16_t> samples;
};

Expected ReadInMemory(const std::uint8_t* data, std::size_t size) {
  Expected e;
  if (!TagAt(data, size, 0, "RIFF") || size < 8 || !TagAt(data, size, 8, "WAVE") ||
      !TagAt(data, size, 12, "fmt ") || size < 20) {
    return e;
  }
  const std::uint64_t formatSize = Le32(data + 16);
  if (formatSize < 16 || size - 20 < formatSize) {
    return e;
  }
  std::uint8_t body[audio::kWaveFormatRecordBytes] = {};
  std::memcpy(body, data + 20, std::min<std::uint64_t>(formatSize, sizeof body));
  if (Le16(body) != audio::kWavePcmFormatTag || Le16(body + 2) != audio::kWaveChannels ||
      Le32(body + 4) != audio::kWaveSamplesPerSec || Le16(body + 14) != audio::kWaveBitsPerSample) {
    return e;
  }
  e.headerOk = true;
  const std::uint64_t dataTag = 20 + formatSize;
  if (!TagAt(data, size, dataTag, "data") || size < dataTag + 8) {
    return e;
  }
  for (std::uint64_t at = dataTag + 8; at + 2 <= size && e.samples.size() < audio::kMaxWaveSamples;
       at += 2) {
    e.samples.push_back(static_cast<std::int16_t>(Le16(data + at)));
  }
  e.outcome = e.samples.empty() ? audio::WaveOutcome::kFailed : audio::WaveOutcome::kPlayed;
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static sequelo::fuzz::ScratchFile input("sequelo-wave-fuzz");
  static sequelo::fuzz::ScratchFile written("sequelo-wave-fuzz-out");
  static audio::SoundFileBuffer buffer;  // too big for the stack

  const std::string& path = input.Write(data, size);
  const Expected expected = ReadInMemory(data, size);
  std::vector<std::int16_t> samples{1, 2, 3};  // a read starts afresh
  const audio::WaveOutcome outcome = audio::ReadWaveFile(path, samples);
  FUZZ_CHECK(outcome == expected.outcome);
  FUZZ_CHECK(samples == expected.samples);
  FUZZ_CHECK(audio::IsValidWaveFile(path) == expected.headerOk);

  // The format record alone.
  const audio::WaveFormatRecord record = audio::DecodeWaveFormatRecord({data, size});
  if (size >= 16) {
    FUZZ_CHECK(record.formatTag == Le16(data) && record.samplesPerSec == Le32(data + 4) &&
               record.bitsPerSample == Le16(data + 14));
  }
  if (size <= 16) {
    FUZZ_CHECK(record.extensionSize == 0);
  } else {
    FUZZ_CHECK(record.extensionSize == (size == 17 ? data[16] : Le16(data + 16)));
  }

  // The input's bytes as samples, written and read back.
  std::vector<std::int16_t> sound(size / 2);
  for (std::size_t i = 0; i < sound.size(); ++i) {
    sound[i] = static_cast<std::int16_t>(Le16(data + 2 * i));
  }
  buffer.Clear();
  buffer.Append(sound);
  std::string error;
  FUZZ_CHECK(audio::WriteCodeSoundFile(buffer, written.Path(), &error));
  std::vector<std::int16_t> readBack;
  const audio::WaveOutcome again = audio::ReadWaveFile(written.Path(), readBack);
  FUZZ_CHECK(again == (sound.empty() ? audio::WaveOutcome::kFailed : audio::WaveOutcome::kPlayed));
  sound.resize(std::min(sound.size(), audio::kMaxWaveSamples));
  FUZZ_CHECK(readBack == sound);
  return 0;
}
