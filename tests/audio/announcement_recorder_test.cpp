// Recordings of announcements: from the ring before the request on, with no
// gap, to the end asked for; a folder that cannot be made is reported.
#include "audio/announcement_recorder.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>

#include "tests/support/memory_log.h"
#include "tests/support/temp_dir.h"

namespace sequelo::audio {
namespace {

// A counter in every sample, so a gap or a repeat shows.
class Feeder {
 public:
  explicit Feeder(AnnouncementRecorder& recorder) : recorder_(recorder) {}
  void FeedMs(std::uint32_t ms) {
    for (std::uint32_t end = TickOf(buffers_) + ms; TickOf(buffers_) < end;) {
      std::array<std::int16_t, core::kBufferSamples> stereo{};
      for (std::size_t i = 0; i < core::kBufferFrames; ++i) {
        stereo[2 * i] = static_cast<std::int16_t>(next_++ % 30000);
      }
      ++buffers_;
      recorder_.Feed(core::CaptureBuffer(stereo), TickOf(buffers_));
      if (buffers_ % 64 == 0) {
        recorder_.WaitIdle();  // faster than real time, but never beyond the recorder's queue
      }
    }
  }
  static std::uint32_t TickOf(std::uint64_t buffers) {
    return static_cast<std::uint32_t>(buffers * 128000 / 6000);
  }
  std::uint32_t Now() const { return TickOf(buffers_); }

 private:
  AnnouncementRecorder& recorder_;
  std::uint64_t buffers_ = 0;
  std::uint32_t next_ = 0;
};

struct Results {
  void Done(const std::string& id, const std::string& path) {
    std::lock_guard lock(mutex);
    paths[id] = path;
    changed.notify_all();
  }
  std::string Wait(const std::string& id) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(20), [&] { return paths.count(id) > 0; });
    return paths.count(id) > 0 ? paths[id] : "(none)";
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, std::string> paths;
};

std::vector<std::int16_t> ReadFlac(const std::string& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) {
    return {};
  }
  EXPECT_EQ(info.samplerate, 6000);
  EXPECT_EQ(info.channels, 1);
  std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames));
  sf_read_short(f, samples.data(), info.frames);
  sf_close(f);
  return samples;
}

TEST(AnnouncementRecorderTest, FromBeforeTheRequestToItsEndWithNoGapAndSeveralAtOnce) {
  testsupport::ScopedTempDir dir;
  testsupport::MemoryLog log;
  Results results;
  AnnouncementRecorder recorder(
      log, [&](const std::string& id, const std::string& path) { results.Done(id, path); });
  recorder.Start();
  Feeder feeder(recorder);
  feeder.FeedMs(5000);
  RecordingJob job;
  job.id = "a";
  job.code = "12*45";
  job.folder = (dir.path() / "rec" / "sub").string();  // made as needed
  job.fromTickMs = feeder.Now() - 2500;
  job.untilTickMs = feeder.Now() + 3000;
  recorder.Record(job);
  feeder.FeedMs(1000);
  job.id = "b";
  job.code = "67890";
  job.fromTickMs = feeder.Now() - 2000;
  job.untilTickMs = feeder.Now() + 500;
  recorder.Record(job);
  feeder.FeedMs(4000);

  for (const auto& [id, seconds] : {std::pair{"a", 5.5}, std::pair{"b", 2.5}}) {
    const std::string path = results.Wait(id);
    ASSERT_FALSE(path.empty()) << id;
    const auto samples = ReadFlac(path);
    ASSERT_FALSE(samples.empty()) << path;
    EXPECT_NEAR(static_cast<double>(samples.size()) / 6000.0, seconds, 0.05) << id;
    for (std::size_t i = 1; i < samples.size(); ++i) {
      ASSERT_EQ(samples[i], (samples[i - 1] + 1) % 30000) << id << ": gap at sample " << i;
    }
  }
  EXPECT_NE(results.Wait("a").find("_12_45.flac"), std::string::npos);
  EXPECT_EQ(recorder.LostBuffers(), 0U);
}

TEST(AnnouncementRecorderTest, AFolderThatCannotBeMadeIsReportedAndCaptureGoesOn) {
  testsupport::ScopedTempDir dir;
  std::ofstream(dir.path() / "file") << "x";
  testsupport::MemoryLog log;
  Results results;
  AnnouncementRecorder recorder(
      log, [&](const std::string& id, const std::string& path) { results.Done(id, path); });
  recorder.Start();
  Feeder feeder(recorder);
  feeder.FeedMs(1000);
  RecordingJob job;
  job.id = "x";
  job.folder = (dir.path() / "file" / "rec").string();
  job.fromTickMs = feeder.Now() - 500;
  job.untilTickMs = feeder.Now() + 500;
  recorder.Record(job);
  feeder.FeedMs(1000);
  EXPECT_EQ(results.Wait("x"), "");
  EXPECT_EQ(log.Count("Recording not written: cannot make "), 1);
}

}  // namespace
}  // namespace sequelo::audio
