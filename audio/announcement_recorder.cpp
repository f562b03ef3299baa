#include "audio/announcement_recorder.h"

#include <sndfile.h>

#include "audio/own_thread.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace sequelo::audio {
namespace {

constexpr std::size_t kRingBlocks =
    AnnouncementRecorder::kRingSeconds * core::kCaptureRateHz / core::kBufferFrames;
// Buffers waiting for the recorder thread: 10 s.
constexpr std::size_t kIncomingBlocks = 10 * core::kCaptureRateHz / core::kBufferFrames;

std::int32_t SignedMs(std::uint32_t from, std::uint32_t to) {
  return static_cast<std::int32_t>(to - from);
}

}  // namespace

struct AnnouncementRecorder::Active {
  RecordingJob job;
  std::string path;
  SNDFILE* file = nullptr;
  std::uint32_t lastTickMs = 0;  // of the last block written
  bool any = false;
};

std::string RecordingFileName(const RecordingJob& job) {
  const std::time_t t = std::chrono::system_clock::to_time_t(job.time);
  std::tm local{};
  localtime_r(&t, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H%M%S", &local);
  std::string code;
  for (char c : job.code.substr(0, 16)) {
    code.push_back(std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_');
  }
  return std::string(stamp) + "_" + (code.empty() ? "call" : code) + ".flac";
}

AnnouncementRecorder::AnnouncementRecorder(core::EventLog& log, Done done)
    : log_(log), done_(std::move(done)) {}

AnnouncementRecorder::~AnnouncementRecorder() {
  Stop();
}

void AnnouncementRecorder::Start() {
  StartOwnThread(mutex_, running_, thread_, [this] { Run(); });
}

void AnnouncementRecorder::Stop() {
  StopOwnThread(mutex_, running_, changed_, thread_);
}

void AnnouncementRecorder::Feed(core::CaptureBuffer buffer, std::uint32_t tickMs) {
  Block block;
  for (std::size_t i = 0; i < core::kBufferFrames; ++i) {
    block.samples[i] = buffer[i * core::kCaptureChannels];
  }
  block.endTickMs = tickMs;
  {
    std::lock_guard lock(mutex_);
    if (!running_ || incoming_.size() >= kIncomingBlocks) {
      lost_ += running_ ? 1 : 0;
      return;
    }
    incoming_.push_back(block);
  }
  changed_.notify_all();
}

void AnnouncementRecorder::Record(RecordingJob job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  changed_.notify_all();
}

std::uint64_t AnnouncementRecorder::LostBuffers() const {
  std::lock_guard lock(mutex_);
  return lost_;
}

void AnnouncementRecorder::WaitIdle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock,
                [this] { return !running_ || (incoming_.empty() && jobs_.empty() && !busy_); });
}

void AnnouncementRecorder::Run() {
  std::vector<std::unique_ptr<Active>> active;
  std::uint64_t lostReported = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !running_ || !incoming_.empty() || !jobs_.empty(); });
    std::deque<Block> blocks;
    blocks.swap(incoming_);
    std::deque<RecordingJob> jobs;
    jobs.swap(jobs_);
    const bool ending = !running_;
    const std::uint64_t lost = lost_;
    busy_ = true;
    lock.unlock();

    if (lost != lostReported) {
      log_.WriteLogLine("Recording: " + std::to_string(lost - lostReported) +
                        " audio buffers lost (the disk is too slow)");
      lostReported = lost;
    }
    for (Block& block : blocks) {
      for (auto& a : active) {
        if (a->file != nullptr) {
          Write(*a, block);
        }
      }
      ring_.push_back(block);
      if (ring_.size() > kRingBlocks) {
        ring_.pop_front();
      }
    }
    for (RecordingJob& job : jobs) {
      Begin(job, active);
    }
    // Done: past their end, or the file failed.
    for (auto it = active.begin(); it != active.end();) {
      Active& a = **it;
      const bool past = a.any && SignedMs(a.job.untilTickMs, a.lastTickMs) >= 0;
      if (a.file == nullptr || past || ending) {
        Finish(a, a.file == nullptr ? "" : (past ? "" : "stopped"));
        it = active.erase(it);
      } else {
        ++it;
      }
    }
    lock.lock();
    busy_ = false;
    changed_.notify_all();
    if (ending) {
      return;
    }
  }
}

void AnnouncementRecorder::Begin(RecordingJob& job, std::vector<std::unique_ptr<Active>>& active) {
  auto a = std::make_unique<Active>();
  a->job = std::move(job);
  std::error_code ec;
  std::filesystem::create_directories(a->job.folder, ec);
  a->path = (std::filesystem::path(a->job.folder) / RecordingFileName(a->job)).string();
  if (ec) {
    log_.Report("Recording not written: cannot make " + a->job.folder + ": " + ec.message());
    done_(a->job.id, "");
    return;
  }
  SF_INFO info{};
  info.samplerate = core::kCaptureRateHz;
  info.channels = 1;
  info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  a->file = sf_open(a->path.c_str(), SFM_WRITE, &info);
  if (a->file == nullptr) {
    log_.Report("Recording not written: " + a->path + ": " + sf_strerror(nullptr));
    done_(a->job.id, "");
    return;
  }
  // What the ring holds from the start on.
  for (const Block& block : ring_) {
    if (SignedMs(a->job.fromTickMs, block.endTickMs) > 0 && !Write(*a, block)) {
      break;
    }
  }
  active.push_back(std::move(a));
}

bool AnnouncementRecorder::Write(Active& a, const Block& block) {
  if (a.any && SignedMs(a.job.untilTickMs, a.lastTickMs) >= 0) {
    return true;  // past the end: nothing more
  }
  const auto n = static_cast<sf_count_t>(block.samples.size());
  if (sf_write_short(a.file, block.samples.data(), n) != n) {
    log_.Report("Recording cut short: " + a.path + ": " + sf_strerror(a.file));
    sf_close(a.file);
    a.file = nullptr;
    done_(a.job.id, a.any ? a.path : "");
    a.job.id.clear();  // reported
    return false;
  }
  a.any = true;
  a.lastTickMs = block.endTickMs;
  return true;
}

void AnnouncementRecorder::Finish(Active& a, const std::string& why) {
  if (a.file != nullptr) {
    if (sf_close(a.file) != 0) {
      log_.Report("Recording not closed cleanly: " + a.path);
    }
    a.file = nullptr;
    if (!why.empty()) {
      log_.WriteLogLine("Recording " + why + ": " + a.path);
    }
    if (!a.job.id.empty()) {
      done_(a.job.id, a.any ? a.path : "");
    }
  }
}

}  // namespace sequelo::audio
