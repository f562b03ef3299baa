// Reading, checking, playing and writing the program's wave files
// (RIFF/WAVE, PCM, mono, 11025 Hz, 16-bit). The header is walked in one fixed
// order: "RIFF", size, "WAVE", "fmt ", the format chunk, then directly "data",
// size and the samples to the end of the file; no other chunk order is
// accepted. Sizes in the header are never trusted for allocation.
//
// Threads: any thread may check, read or write a file.
#include "audio/wave_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <system_error>

namespace sequelo::audio {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::uint16_t Uint16At(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::uint32_t Uint32At(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
         (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

void PutUint16(std::uint8_t* out, std::uint16_t value) {
  out[0] = static_cast<std::uint8_t>(value & 0xFFu);
  out[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutUint32(std::uint8_t* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
  }
}

void PutTag(std::uint8_t* out, std::string_view tag) {
  std::copy(tag.begin(), tag.end(), out);
}

// Opens a regular file for reading and reports its size; nullptr when it
// cannot be opened or is something else (a directory, a FIFO, a device).
// The open does not block, so a FIFO never hangs the caller.
FilePtr OpenRegularFile(const std::string& path, off_t& size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    return nullptr;
  }
  size = st.st_size;
  return FilePtr(file);
}

// Reads a little-endian 32-bit value; false when fewer than 4 bytes remain.
bool ReadUint32(std::FILE* file, std::uint32_t& value) {
  std::array<std::uint8_t, 4> bytes{};
  if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    return false;
  }
  value = Uint32At(bytes, 0);
  return true;
}

// Moves `count` bytes forward, failing when the file ends before that.
bool SkipBytes(std::FILE* file, off_t fileSize, std::uint32_t count) {
  const off_t position = ::ftello(file);
  if (position < 0 || position > fileSize) {
    return false;
  }
  if (static_cast<std::uint64_t>(fileSize - position) < count) {
    return false;
  }
  return ::fseeko(file, static_cast<off_t>(count), SEEK_CUR) == 0;
}

// Walks "RIFF", its size, "WAVE", "fmt ", the format chunk size and body,
// and checks the format. Leaves the file just past the format chunk.
bool ReadHeaderThroughFormat(std::FILE* file, off_t fileSize) {
  std::uint32_t riffSize = 0;
  if (!ReadChunkTag(file, "RIFF") || !ReadUint32(file, riffSize) || !ReadChunkTag(file, "WAVE") ||
      !ReadChunkTag(file, "fmt ")) {
    return false;
  }
  std::uint32_t formatSize = 0;
  if (!ReadUint32(file, formatSize) || formatSize < 16) {
    return false;
  }
  std::array<std::uint8_t, kWaveFormatRecordBytes> body{};
  const std::size_t bodyBytes = std::min<std::size_t>(formatSize, body.size());
  if (std::fread(body.data(), 1, bodyBytes, file) != bodyBytes) {
    return false;
  }
  if (formatSize > body.size() &&
      !SkipBytes(file, fileSize, formatSize - static_cast<std::uint32_t>(body.size()))) {
    return false;
  }
  const WaveFormatRecord format = DecodeWaveFormatRecord({body.data(), bodyBytes});
  return format.formatTag == kWavePcmFormatTag && format.channels == kWaveChannels &&
         format.samplesPerSec == kWaveSamplesPerSec && format.bitsPerSample == kWaveBitsPerSample;
}

// Reads little-endian samples in blocks to the end of the file or until the
// longest play has been read; a last odd byte is left out.
void ReadSamples(std::FILE* file, std::vector<std::int16_t>& out) {
  std::array<std::uint8_t, kWaveReadBlockBytes> block{};
  while (out.size() < kMaxWaveSamples) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file);
    if (got == 0) {
      break;
    }
    const std::size_t samples = std::min(got / 2, kMaxWaveSamples - out.size());
    for (std::size_t i = 0; i < samples; ++i) {
      out.push_back(static_cast<std::int16_t>(Uint16At(block, 2 * i)));
    }
  }
}

void SetError(std::string* error, int code) {
  if (error != nullptr) {
    *error = std::generic_category().message(code);
  }
}

}  // namespace

WaveFormatRecord DecodeWaveFormatRecord(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, kWaveFormatRecordBytes> body{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), body.size()), body.begin());
  WaveFormatRecord record;
  record.formatTag = Uint16At(body, 0);
  record.channels = Uint16At(body, 2);
  record.samplesPerSec = Uint32At(body, 4);
  record.avgBytesPerSec = Uint32At(body, 8);
  record.blockAlign = Uint16At(body, 12);
  record.bitsPerSample = Uint16At(body, 14);
  record.extensionSize = Uint16At(body, 16);
  return record;
}

bool FileExists(const std::string& path) {
  off_t size = 0;
  return OpenRegularFile(path, size) != nullptr;
}

bool ReadChunkTag(std::FILE* file, std::string_view tag) {
  std::array<char, 4> bytes{};
  if (file == nullptr || std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    return false;
  }
  return std::string_view(bytes.data(), bytes.size()) == tag;
}

bool IsValidWaveFile(const std::string& path) {
  off_t fileSize = 0;
  FilePtr file = OpenRegularFile(path, fileSize);
  return file && ReadHeaderThroughFormat(file.get(), fileSize);
}

WaveOutcome ReadWaveFile(const std::string& path, std::vector<std::int16_t>& samples) {
  samples.clear();
  off_t fileSize = 0;
  FilePtr file = OpenRegularFile(path, fileSize);
  if (!file) {
    return WaveOutcome::kFailed;
  }
  std::uint32_t dataSize = 0;
  if (!ReadHeaderThroughFormat(file.get(), fileSize) || !ReadChunkTag(file.get(), "data") ||
      !ReadUint32(file.get(), dataSize)) {
    return WaveOutcome::kNotSupported;
  }
  // Sizes in the header are not trusted: the file's own end decides.
  samples.reserve(std::min<std::size_t>(static_cast<std::size_t>(fileSize) / 2, kMaxWaveSamples));
  ReadSamples(file.get(), samples);
  return samples.empty() ? WaveOutcome::kFailed : WaveOutcome::kPlayed;
}

void ReportWaveOutcome(WaveOutcome outcome, core::MessageSink& messages) {
  if (outcome == WaveOutcome::kNotSupported) {
    messages.ShowMessage(kWaveFormatNotSupported);
  } else if (outcome == WaveOutcome::kTooLong) {
    messages.ShowMessage(kWaveTooLong);
  }
}

WaveOutcome PlayWaveFileLocal(ToneGenerator& tones, const std::string& path,
                              const std::atomic<bool>* stop) {
  if (!tones.HasLocalDevice()) {
    return WaveOutcome::kFailed;  // nothing to play on: the file is not even read
  }
  std::vector<std::int16_t> samples;
  const WaveOutcome read = ReadWaveFile(path, samples);
  if (read != WaveOutcome::kPlayed) {
    return read;
  }
  return tones.PlayLocal(samples, stop) ? WaveOutcome::kPlayed : WaveOutcome::kFailed;
}

bool WriteCodeSoundFile(const SoundFileBuffer& buffer, const std::string& path,
                        std::string* error) {
  const std::span<const std::int16_t> samples = buffer.Samples();
  const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);

  std::array<std::uint8_t, kWaveHeaderBytes> header{};
  PutTag(&header[0], "RIFF");
  PutUint32(&header[4], 36 + dataBytes);
  PutTag(&header[8], "WAVE");
  PutTag(&header[12], "fmt ");
  PutUint32(&header[16], 16);
  PutUint16(&header[20], kWavePcmFormatTag);
  PutUint16(&header[22], kWaveChannels);
  PutUint32(&header[24], kWaveSamplesPerSec);
  PutUint32(&header[28], kWaveSamplesPerSec * 2);  // bytes per second
  PutUint16(&header[32], 2);                       // bytes per sample
  PutUint16(&header[34], kWaveBitsPerSample);
  PutTag(&header[36], "data");
  PutUint32(&header[40], dataBytes);

  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetError(error, errno);
    return false;
  }
  std::FILE* opened = ::fdopen(fd, "wb");
  if (opened == nullptr) {
    SetError(error, errno);
    ::close(fd);
    return false;
  }
  FilePtr file(opened);
  bool ok = std::fwrite(header.data(), 1, header.size(), file.get()) == header.size();

  std::array<std::uint8_t, 4096> block{};
  const std::size_t perBlock = block.size() / 2;
  for (std::size_t done = 0; ok && done < samples.size(); done += perBlock) {
    const std::size_t n = std::min(perBlock, samples.size() - done);
    for (std::size_t i = 0; i < n; ++i) {
      PutUint16(&block[2 * i], static_cast<std::uint16_t>(samples[done + i]));
    }
    ok = std::fwrite(block.data(), 1, 2 * n, file.get()) == 2 * n;
  }
  if (!ok) {
    SetError(error, errno);
  }
  const int closed = std::fclose(file.release());
  if (ok && closed != 0) {
    SetError(error, errno);
    ok = false;
  }
  return ok;
}

}  // namespace sequelo::audio
