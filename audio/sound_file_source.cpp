#include "audio/sound_file_source.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sequelo::audio {
namespace {

// Opens a path for reading, "-" meaning standard input (not closed later).
int OpenForReading(const std::string& path, bool& ownsFd, std::string& error) {
  if (path == "-") {
    ownsFd = false;
    return STDIN_FILENO;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    error = "is a directory";
    return -1;
  }
  ownsFd = true;
  return fd;
}

class SndFileSource final : public FrameSource {
 public:
  SndFileSource(SNDFILE* file, const SF_INFO& info, int fd, bool ownsFd)
      : file_(file), info_(info), fd_(fd), ownsFd_(ownsFd) {}
  ~SndFileSource() override {
    sf_close(file_);
    if (ownsFd_) {
      ::close(fd_);
    }
  }
  SndFileSource(const SndFileSource&) = delete;
  SndFileSource& operator=(const SndFileSource&) = delete;

  int Channels() const override { return info_.channels; }
  double SampleRateHz() const override { return info_.samplerate; }
  long Read(float* out, long frames) override {
    // 16-bit files come in as they are stored and are scaled here, in a loop
    // the compiler vectorises: several times quicker than libsndfile's own
    // conversion, with the same values (s / 32768).
    sf_count_t got = 0;
    if ((info_.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) {
      pcm_.resize(static_cast<std::size_t>(frames) * static_cast<std::size_t>(info_.channels));
      got = sf_readf_short(file_, pcm_.data(), frames);
      const auto samples =
          static_cast<std::size_t>(got > 0 ? got : 0) * static_cast<std::size_t>(info_.channels);
      for (std::size_t i = 0; i < samples; ++i) {
        out[i] = pcm_[i] * (1.0f / 32768.0f);
      }
    } else {
      got = sf_readf_float(file_, out, frames);
    }
    if (got < frames && sf_error(file_) != SF_ERR_NO_ERROR) {
      error_ = sf_strerror(file_);
      return -1;
    }
    return static_cast<long>(got);
  }
  std::string Error() const override { return error_; }

 private:
  SNDFILE* file_;
  SF_INFO info_;
  int fd_;
  bool ownsFd_;
  std::vector<std::int16_t> pcm_;
  std::string error_;
};

class RawPcmSource final : public FrameSource {
 public:
  RawPcmSource(int fd, bool ownsFd, double rateHz) : fd_(fd), ownsFd_(ownsFd), rateHz_(rateHz) {}
  ~RawPcmSource() override {
    if (ownsFd_) {
      ::close(fd_);
    }
  }
  RawPcmSource(const RawPcmSource&) = delete;
  RawPcmSource& operator=(const RawPcmSource&) = delete;

  int Channels() const override { return 1; }
  double SampleRateHz() const override { return rateHz_; }
  long Read(float* out, long frames) override {
    long produced = 0;
    while (produced < frames && !atEnd_) {
      if (pending_ >= 2) {
        const auto lo = static_cast<std::uint16_t>(bytes_[start_]);
        const auto hi = static_cast<std::uint16_t>(bytes_[start_ + 1]);
        const auto sample = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
        out[produced++] = static_cast<float>(sample) / 32768.0f;
        start_ += 2;
        pending_ -= 2;
        continue;
      }
      // Keep an odd byte, then refill. Return what we have rather than wait
      // for more, so a live pipe is decoded as it arrives.
      if (produced > 0) {
        break;
      }
      if (pending_ == 1) {
        bytes_[0] = bytes_[start_];
      }
      start_ = 0;
      const ssize_t got = ::read(fd_, bytes_.data() + pending_, bytes_.size() - pending_);
      if (got < 0) {
        if (errno == EINTR) {
          continue;
        }
        error_ = std::strerror(errno);
        return -1;
      }
      if (got == 0) {
        atEnd_ = true;  // a trailing odd byte is not a sample
        break;
      }
      pending_ += static_cast<std::size_t>(got);
    }
    return produced;
  }
  std::string Error() const override { return error_; }

 private:
  int fd_;
  bool ownsFd_;
  double rateHz_;
  std::array<unsigned char, 16384> bytes_{};
  std::size_t start_ = 0;
  std::size_t pending_ = 0;
  bool atEnd_ = false;
  std::string error_;
};

}  // namespace

std::unique_ptr<FrameSource> OpenSoundFile(const std::string& path, std::string& error) {
  bool ownsFd = false;
  const int fd = OpenForReading(path, ownsFd, error);
  if (fd < 0) {
    return nullptr;
  }
  SF_INFO info{};
  // libsndfile never closes the descriptor; the source does.
  SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
  if (file == nullptr) {
    error = std::string("not a recognised audio file (") + sf_strerror(nullptr) + ")";
    if (ownsFd) {
      ::close(fd);
    }
    return nullptr;
  }
  if (info.channels < 1 || info.samplerate < 1) {
    error = "unsupported sample format (no channels or no sample rate)";
    sf_close(file);
    if (ownsFd) {
      ::close(fd);
    }
    return nullptr;
  }
  return std::make_unique<SndFileSource>(file, info, fd, ownsFd);
}

std::unique_ptr<FrameSource> OpenRawPcm(const std::string& path, double sampleRateHz,
                                        std::string& error) {
  bool ownsFd = false;
  const int fd = OpenForReading(path, ownsFd, error);
  if (fd < 0) {
    return nullptr;
  }
  return std::make_unique<RawPcmSource>(fd, ownsFd, sampleRateHz);
}

}  // namespace sequelo::audio
