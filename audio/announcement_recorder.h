// Recording what follows an alarm call (the spoken announcement) to FLAC
// files. The capture thread hands in the receiver's channel of every
// buffer, never waiting; a thread of its own keeps the last seconds in a
// ring, so a recording can begin before the call that asked for it, and
// writes each recording from the ring on, buffer after buffer with no gap,
// until its end. Several recordings may run at once (calls close together).
//
// A folder that cannot be made, a file that cannot be written, a full disk:
// logged, the recording reported as failed (or cut short), and capture and
// decoding never notice.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/buffer_analysis.h"
#include "core/event_log.h"

namespace sequelo::audio {

struct RecordingJob {
  std::string id;                              // handed back when done
  std::string code;                            // part of the file name
  std::chrono::system_clock::time_point time;  // part of the file name
  std::string folder;                          // made if missing
  std::uint32_t fromTickMs = 0;                // first audio to keep
  std::uint32_t untilTickMs = 0;               // last audio to keep
};

// "2026-12-09_023501_12345.flac": the local time of the call and its code
// (anything but letters and digits as '_').
std::string RecordingFileName(const RecordingJob& job);

class AnnouncementRecorder {
 public:
  // `path` of the file written, or empty when nothing could be written.
  using Done = std::function<void(const std::string& id, const std::string& path)>;

  // Seconds of audio kept before a recording is asked for.
  static constexpr std::uint32_t kRingSeconds = 6;

  AnnouncementRecorder(core::EventLog& log, Done done);
  ~AnnouncementRecorder();
  AnnouncementRecorder(const AnnouncementRecorder&) = delete;
  AnnouncementRecorder& operator=(const AnnouncementRecorder&) = delete;

  void Start();
  // Recordings under way are closed with what they hold.
  void Stop();

  // The capture thread: the first channel of `buffer`, whose last frame
  // came in at `tickMs`. Never waits; a buffer the thread has no room for
  // is counted and leaves a gap noted in the log.
  void Feed(core::CaptureBuffer buffer, std::uint32_t tickMs);
  // Any thread.
  void Record(RecordingJob job);

  std::uint64_t LostBuffers() const;
  // Blocks until the recorder thread has taken everything handed in (tests).
  void WaitIdle();

 private:
  struct Block {
    std::array<std::int16_t, core::kBufferFrames> samples;
    std::uint32_t endTickMs;
  };
  struct Active;

  void Run();
  void Begin(RecordingJob& job, std::vector<std::unique_ptr<Active>>& active);
  // False when the file could not take the block (it is closed then).
  bool Write(Active& active, const Block& block);
  void Finish(Active& active, const std::string& why);

  core::EventLog& log_;
  Done done_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Block> incoming_;
  std::deque<RecordingJob> jobs_;
  bool running_ = false;
  bool busy_ = false;
  std::uint64_t lost_ = 0;
  std::thread thread_;
  std::deque<Block> ring_;  // the recorder thread's
};

}  // namespace sequelo::audio
