// The sound-server and ALSA backends against real systems: a private
// PipeWire session with the null sink TestSink (started by the CTest fixture
// through scripts/sound-server, which puts PULSE_SERVER in our environment),
// and whatever ALSA finds on this machine, often nothing. Audio played to
// TestSink comes back from its monitor, so playback and capture are checked
// end to end. Runs on the test's main thread.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio/alsa_backend.h"
#include "audio/pulse_backend.h"
#include "tests/support/decode_helpers.h"
#include "tests/support/temp_dir.h"

namespace sequelo::audio {
namespace {

constexpr int kCaptureRateHz = 6000;
constexpr int kToneHz = 1000;
constexpr int kToneMs = 300;

std::unique_ptr<PulseBackend> ConnectOrExplain() {
  std::string error;
  auto backend = PulseBackend::Connect(error);
  EXPECT_NE(backend, nullptr) << "no sound server (" << error
                              << "); run under ctest, or start scripts/sound-server and set "
                                 "PULSE_SERVER";
  return backend;
}

std::optional<AudioDeviceInfo> FindByName(const std::vector<AudioDeviceInfo>& devices,
                                          const std::string& name) {
  for (const AudioDeviceInfo& device : devices) {
    if (device.name == name) {
      return device;
    }
  }
  return std::nullopt;
}

std::vector<std::int16_t> Tone(int frequencyHz, int rateHz, int ms, double amplitude) {
  const auto frames = static_cast<std::size_t>(rateHz) * static_cast<std::size_t>(ms) / 1000;
  std::vector<std::int16_t> samples(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    const double phase = 2.0 * std::numbers::pi * frequencyHz * static_cast<double>(i) / rateHz;
    samples[i] = static_cast<std::int16_t>(std::lround(amplitude * std::sin(phase)));
  }
  return samples;
}

// Reads `frames` frames of `channels` channels from a capture stream in
// pieces of 20 ms; stops short if a read does.
std::vector<std::int16_t> ReadFrames(CaptureStream& capture, int channels, std::size_t frames) {
  const auto width = static_cast<std::size_t>(channels);
  std::vector<std::int16_t> captured;
  std::vector<std::int16_t> chunk(width * kCaptureRateHz / 50);
  while (captured.size() < width * frames) {
    const std::size_t got = capture.Read(chunk);
    captured.insert(captured.end(), chunk.begin(),
                    chunk.begin() + static_cast<std::ptrdiff_t>(got));
    if (got < chunk.size()) {
      break;
    }
  }
  captured.resize(std::min(captured.size(), width * frames));
  return captured;
}

// What was found in one channel of captured audio: the longest stretch that
// is louder than half the loudest 10 ms, and the frequency its zero
// crossings give.
struct ToneFound {
  std::size_t startFrame = 0;
  std::size_t frames = 0;
  double frequencyHz = 0.0;
  double peakRms = 0.0;
};

ToneFound FindTone(const std::vector<std::int16_t>& interleaved, int channels, int channel,
                   int rateHz) {
  const std::size_t window = static_cast<std::size_t>(rateHz) / 100;
  std::vector<double> samples;
  for (std::size_t i = static_cast<std::size_t>(channel); i < interleaved.size();
       i += static_cast<std::size_t>(channels)) {
    samples.push_back(interleaved[i]);
  }
  std::vector<double> rms;
  for (std::size_t start = 0; start + window <= samples.size(); start += window) {
    double sum = 0.0;
    for (std::size_t i = start; i < start + window; ++i) {
      sum += samples[i] * samples[i];
    }
    rms.push_back(std::sqrt(sum / static_cast<double>(window)));
  }
  ToneFound found;
  if (rms.empty()) {
    return found;
  }
  found.peakRms = *std::max_element(rms.begin(), rms.end());
  std::size_t bestStart = 0;
  std::size_t bestLength = 0;
  for (std::size_t i = 0; i < rms.size();) {
    if (rms[i] <= found.peakRms / 2) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < rms.size() && rms[end] > found.peakRms / 2) {
      ++end;
    }
    if (end - i > bestLength) {
      bestStart = i;
      bestLength = end - i;
    }
    i = end;
  }
  found.startFrame = bestStart * window;
  found.frames = bestLength * window;
  // Zero crossings inside the stretch, a window in from each edge where the
  // resampler's ramps are.
  if (bestLength > 2) {
    const std::size_t from = (bestStart + 1) * window;
    const std::size_t to = (bestStart + bestLength - 1) * window;
    int crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
      if ((samples[i - 1] < 0) != (samples[i] < 0)) {
        ++crossings;
      }
    }
    const double seconds = static_cast<double>(to - from - 1) / rateHz;
    found.frequencyHz = crossings / 2.0 / seconds;
  }
  return found;
}

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = ::getenv(name)) {
      old_ = old;
    }
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Sends what this process writes to standard error into a file while the
// object lives, and hands it back.
class StderrCapture {
 public:
  StderrCapture() : path_(dir_.path() / "stderr.txt") {
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StderrCapture() { Restore(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::string Take() {
    Restore();
    std::ifstream in(path_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  void Restore() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
      saved_ = -1;
    }
  }

  testsupport::ScopedTempDir dir_;
  std::filesystem::path path_;
  int saved_ = -1;
};

TEST(PulseBackendTest, ListsTheTestSinkAndItsMonitorByDescription) {
  auto backend = ConnectOrExplain();
  ASSERT_NE(backend, nullptr);

  const auto sink = FindByName(backend->OutputDevices(), "TestSink");
  ASSERT_TRUE(sink.has_value());
  EXPECT_EQ(sink->id, "testsink");
  EXPECT_EQ(sink->backend, "pulse");

  const auto monitor = FindByName(backend->InputDevices(), "Monitor of TestSink");
  ASSERT_TRUE(monitor.has_value());
  EXPECT_EQ(monitor->id, "testsink.monitor");
  EXPECT_EQ(monitor->backend, "pulse");
  // A monitor is an input only.
  EXPECT_FALSE(FindByName(backend->OutputDevices(), "Monitor of TestSink").has_value());
}

TEST(PulseBackendTest, DefaultOutputIsTheTestSink) {
  auto backend = ConnectOrExplain();
  ASSERT_NE(backend, nullptr);
  AudioDeviceInfo device;
  ASSERT_TRUE(backend->DefaultOutput(device));
  EXPECT_EQ(device.name, "TestSink");
  EXPECT_EQ(device.id, "testsink");
  EXPECT_EQ(device.backend, "pulse");
}

TEST(PulseBackendTest, ToneToTheSinkComesBackFromItsMonitorOnBothChannels) {
  auto backend = ConnectOrExplain();
  ASSERT_NE(backend, nullptr);
  const auto sink = FindByName(backend->OutputDevices(), "TestSink");
  const auto monitor = FindByName(backend->InputDevices(), "Monitor of TestSink");
  ASSERT_TRUE(sink && monitor);

  std::string error;
  auto capture = backend->OpenCapture(*monitor, kCaptureRateHz, 2, error);
  ASSERT_NE(capture, nullptr) << error;
  auto playback = backend->OpenPlayback(*sink, kPlaybackRateHz, 1, error);
  ASSERT_NE(playback, nullptr) << error;

  const auto tone = Tone(kToneHz, kPlaybackRateHz, kToneMs, 12000.0);
  ASSERT_TRUE(playback->Write(tone));
  ASSERT_TRUE(playback->Drain());

  // Everything since the capture opened: the tone and silence around it.
  constexpr std::size_t kCaptureFrames = 2 * kCaptureRateHz;
  const std::vector<std::int16_t> captured = ReadFrames(*capture, 2, kCaptureFrames);
  ASSERT_EQ(captured.size(), 2 * kCaptureFrames);

  for (int channel = 0; channel < 2; ++channel) {
    SCOPED_TRACE(channel == 0 ? "left" : "right");
    const ToneFound found = FindTone(captured, 2, channel, kCaptureRateHz);
    EXPECT_GT(found.peakRms, 12000.0 / std::numbers::sqrt2 / 2);
    EXPECT_NEAR(found.frequencyHz, kToneHz, 10.0);
    // The whole tone, at its length, with silence after it.
    EXPECT_NEAR(static_cast<double>(found.frames), kCaptureRateHz * kToneMs / 1000.0,
                kCaptureRateHz * 0.03);
    EXPECT_LT(found.startFrame + found.frames + kCaptureRateHz / 10, kCaptureFrames);
  }
}

// A writer that is held up between writes, as a busy machine holds up the
// thread that sends a call, finds the server still playing what it wrote
// before: the tone comes back whole and without a gap. A store too small for
// the hold-up tears the same gap every time; a sound server that misses one
// of its own cycles on a busy machine tears one now and then, so the tone is
// sent up to three times and must come back whole once.
TEST(PulseBackendTest, AWriterHeldUpBetweenWritesLeavesNoGap) {
  auto backend = ConnectOrExplain();
  ASSERT_NE(backend, nullptr);
  constexpr int kPieces = 5;
  constexpr int kPieceMs = 100;
  const auto tone = Tone(kToneHz, kPlaybackRateHz, kPieces * kPieceMs, 12000.0);
  const std::size_t piece = tone.size() / kPieces;
  std::string attempts;
  bool whole = false;
  for (int attempt = 0; attempt < 3 && !whole; ++attempt) {
    std::string error;
    auto capture =
        backend->OpenCapture(AudioDeviceInfo{"Monitor of TestSink", "pulse", "testsink.monitor"},
                             kCaptureRateHz, 1, error);
    ASSERT_NE(capture, nullptr) << error;
    auto playback = backend->OpenPlayback(AudioDeviceInfo{"TestSink", "pulse", "testsink"},
                                          kPlaybackRateHz, 1, error);
    ASSERT_NE(playback, nullptr) << error;
    for (int i = 0; i < kPieces; ++i) {
      if (i > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
      }
      ASSERT_TRUE(
          playback->Write(std::span(tone).subspan(static_cast<std::size_t>(i) * piece, piece)));
    }
    ASSERT_TRUE(playback->Drain());

    const std::vector<std::int16_t> captured = ReadFrames(*capture, 1, 2 * kCaptureRateHz);
    ASSERT_EQ(captured.size(), 2U * kCaptureRateHz);
    const double gapMs = testsupport::LongestGapMs(captured, kCaptureRateHz);
    const ToneFound found = FindTone(captured, 1, 0, kCaptureRateHz);
    const double expectedFrames = kCaptureRateHz * kPieces * kPieceMs / 1000.0;
    whole = gapMs <= 2.0 &&
            std::abs(static_cast<double>(found.frames) - expectedFrames) <= kCaptureRateHz * 0.03 &&
            std::abs(found.frequencyHz - kToneHz) <= 10.0;
    attempts += " [gap " + std::to_string(gapMs) + " ms, " + std::to_string(found.frames) +
                " frames at " + std::to_string(found.frequencyHz) + " Hz]";
  }
  EXPECT_TRUE(whole) << "never whole:" << attempts;
}

// The server stops dead (here: its process is stopped, as a hung server
// would be): writing, draining and reading fail within seconds instead of
// blocking for ever, so the transmitter is released and the station can
// shut down.
TEST(PulseBackendTest, StreamsOfAStalledServerFailInsteadOfBlocking) {
  auto backend = ConnectOrExplain();
  ASSERT_NE(backend, nullptr);
  std::string error;
  auto capture =
      backend->OpenCapture(AudioDeviceInfo{"Monitor of TestSink", "pulse", "testsink.monitor"},
                           kCaptureRateHz, 1, error);
  ASSERT_NE(capture, nullptr) << error;
  auto playback = backend->OpenPlayback(AudioDeviceInfo{"TestSink", "pulse", "testsink"},
                                        kPlaybackRateHz, 1, error);
  ASSERT_NE(playback, nullptr) << error;
  const char* runtime = ::getenv("XDG_RUNTIME_DIR");
  ASSERT_NE(runtime, nullptr);
  std::ifstream pidFile(std::filesystem::path(runtime) / "pipewire-pulse.pid");
  pid_t server = 0;
  ASSERT_TRUE(pidFile >> server);
  ASSERT_GT(server, 0);

  ASSERT_EQ(::kill(server, SIGSTOP), 0);
  struct Resume {
    pid_t pid;
    ~Resume() { ::kill(pid, SIGCONT); }
  } resume{server};
  const auto tone = Tone(kToneHz, kPlaybackRateHz, 2000, 12000.0);
  EXPECT_FALSE(playback->Write(tone) && playback->Drain());
  std::vector<std::int16_t> block(static_cast<std::size_t>(kCaptureRateHz));
  EXPECT_EQ(capture->Read(block), 0U);
  EXPECT_EQ(capture->Read(block), 0U);  // and stays failed
}

TEST(PulseBackendTest, ReadFillsWholeFramesOnly) {
  auto backend = ConnectOrExplain();
  ASSERT_NE(backend, nullptr);
  std::string error;
  auto capture =
      backend->OpenCapture(AudioDeviceInfo{"Monitor of TestSink", "pulse", "testsink.monitor"},
                           kCaptureRateHz, 2, error);
  ASSERT_NE(capture, nullptr) << error;
  std::vector<std::int16_t> samples(7, 12345);
  EXPECT_EQ(capture->Read(samples), 6u);
  EXPECT_EQ(samples[6], 12345);  // the half frame is left alone
}

TEST(PulseBackendTest, PlayedFramesFollowsWritingAndCatchesUpOnDrain) {
  auto backend = ConnectOrExplain();
  ASSERT_NE(backend, nullptr);
  std::string error;
  auto playback = backend->OpenPlayback(AudioDeviceInfo{"TestSink", "pulse", "testsink"},
                                        kPlaybackRateHz, 1, error);
  ASSERT_NE(playback, nullptr) << error;

  const auto tone = Tone(kToneHz, kPlaybackRateHz, 1000, 8000.0);
  constexpr std::size_t kChunk = kPlaybackRateHz / 50;  // 20 ms
  std::uint64_t previous = 0;
  for (std::size_t at = 0; at < tone.size(); at += kChunk) {
    const std::size_t count = std::min(kChunk, tone.size() - at);
    ASSERT_TRUE(playback->Write(std::span(tone).subspan(at, count)));
    const std::uint64_t played = playback->PlayedFrames();
    EXPECT_LE(played, playback->WrittenFrames());
    EXPECT_GE(played, previous);
    previous = played;
  }
  EXPECT_EQ(playback->WrittenFrames(), tone.size());
  // Writing went at the device's pace: after a second of audio, no more of it
  // is still waiting to be played than the server keeps in store (200 ms)
  // and the sink's own latency.
  EXPECT_GT(previous + kPlaybackRateHz * 3 / 10, playback->WrittenFrames());

  ASSERT_TRUE(playback->Drain());
  EXPECT_EQ(playback->PlayedFrames(), tone.size());
  EXPECT_EQ(playback->WrittenFrames(), tone.size());

  // The stream goes on after a drain.
  ASSERT_TRUE(playback->Write(std::span(tone).first(kChunk)));
  EXPECT_LE(playback->PlayedFrames(), tone.size() + kChunk);
  ASSERT_TRUE(playback->Drain());
  EXPECT_EQ(playback->PlayedFrames(), tone.size() + kChunk);
}

TEST(PulseBackendTest, WriteRejectsPartialFrames) {
  auto backend = ConnectOrExplain();
  ASSERT_NE(backend, nullptr);
  std::string error;
  auto playback = backend->OpenPlayback(AudioDeviceInfo{"TestSink", "pulse", "testsink"},
                                        kPlaybackRateHz, 2, error);
  ASSERT_NE(playback, nullptr) << error;
  const std::vector<std::int16_t> samples(5, 0);
  EXPECT_FALSE(playback->Write(samples));
  EXPECT_EQ(playback->WrittenFrames(), 0u);
}

TEST(PulseBackendTest, OpeningAMissingDeviceFailsWithAReason) {
  auto backend = ConnectOrExplain();
  ASSERT_NE(backend, nullptr);
  std::string error;
  EXPECT_EQ(backend->OpenPlayback(AudioDeviceInfo{"Gone", "pulse", "no_such_sink"}, kPlaybackRateHz,
                                  1, error),
            nullptr);
  EXPECT_NE(error.find("Gone"), std::string::npos) << error;
  error.clear();
  EXPECT_EQ(backend->OpenCapture(AudioDeviceInfo{"hw", "alsa", "hw:0"}, kCaptureRateHz, 2, error),
            nullptr);
  EXPECT_FALSE(error.empty());
}

TEST(PulseBackendTest, ConnectFailsWithAReasonWhenNoServerListens) {
  testsupport::ScopedTempDir dir;
  const ScopedEnv server("PULSE_SERVER", "unix:" + (dir.path() / "no-server").string());
  std::string error;
  EXPECT_EQ(PulseBackend::Connect(error), nullptr);
  EXPECT_FALSE(error.empty());
}

TEST(PulseBackendTest, ConnectGivesUpOnAServerThatNeverAnswers) {
  testsupport::ScopedTempDir dir;
  const std::string path = (dir.path() / "silent").string();
  // A socket that takes connections into its queue and never says a word.
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  std::copy(path.begin(), path.end(), address.sun_path);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 4), 0);

  const ScopedEnv server("PULSE_SERVER", "unix:" + path);
  std::string error;
  EXPECT_EQ(PulseBackend::Connect(error), nullptr);
  EXPECT_FALSE(error.empty());
  ::close(listener);
}

TEST(AlsaBackendTest, ListsWhatThereIsQuietly) {
  StderrCapture stderrCapture;
  AlsaBackend backend;
  const auto outputs = backend.OutputDevices();
  const auto inputs = backend.InputDevices();
  AudioDeviceInfo defaultOutput;
  const bool hasDefault = backend.DefaultOutput(defaultOutput);
  EXPECT_EQ(stderrCapture.Take(), "");

  for (const auto* devices : {&outputs, &inputs}) {
    for (std::size_t i = 0; i < devices->size(); ++i) {
      const AudioDeviceInfo& device = (*devices)[i];
      EXPECT_EQ(device.backend, "alsa");
      EXPECT_FALSE(device.name.empty());
      if (device.id == "default") {
        EXPECT_EQ(i, 0u) << "default comes first";
      } else {
        EXPECT_EQ(device.id.rfind("plughw:CARD=", 0), 0u) << device.id;
      }
    }
  }
  EXPECT_EQ(hasDefault, !outputs.empty() && outputs.front().id == "default");
  if (hasDefault) {
    EXPECT_EQ(defaultOutput.id, "default");
  }
}

TEST(AlsaBackendTest, OpeningAMissingCardFailsWithAReasonQuietly) {
  StderrCapture stderrCapture;
  AlsaBackend backend;
  std::string error;
  const AudioDeviceInfo missing{"Nothing", "alsa", "plughw:CARD=SequeloNoSuchCard,DEV=0"};
  EXPECT_EQ(backend.OpenPlayback(missing, kPlaybackRateHz, 1, error), nullptr);
  EXPECT_NE(error.find("SequeloNoSuchCard"), std::string::npos) << error;
  error.clear();
  EXPECT_EQ(backend.OpenCapture(missing, kCaptureRateHz, 2, error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(stderrCapture.Take(), "");
}

// ALSA's "null" device, there on every system, takes whatever is written at
// once and hands back captures without waiting: enough to run the streams
// through alsa-lib.
TEST(AlsaBackendTest, PlaybackDrainsAndGoesOnAfterADrain) {
  AlsaBackend backend;
  std::string error;
  auto playback =
      backend.OpenPlayback(AudioDeviceInfo{"null", "alsa", "null"}, kPlaybackRateHz, 1, error);
  ASSERT_NE(playback, nullptr) << error;
  const auto tone = Tone(kToneHz, kPlaybackRateHz, 200, 8000.0);
  ASSERT_TRUE(playback->Write(tone));
  EXPECT_LE(playback->PlayedFrames(), playback->WrittenFrames());
  ASSERT_TRUE(playback->Drain());
  EXPECT_EQ(playback->WrittenFrames(), tone.size());
  EXPECT_EQ(playback->PlayedFrames(), tone.size());

  ASSERT_TRUE(playback->Write(tone));
  ASSERT_TRUE(playback->Drain());
  EXPECT_EQ(playback->WrittenFrames(), 2 * tone.size());
  EXPECT_EQ(playback->PlayedFrames(), 2 * tone.size());

  const std::vector<std::int16_t> halfFrame(1, 0);
  auto stereo =
      backend.OpenPlayback(AudioDeviceInfo{"null", "alsa", "null"}, kPlaybackRateHz, 2, error);
  ASSERT_NE(stereo, nullptr) << error;
  EXPECT_FALSE(stereo->Write(halfFrame));
  EXPECT_EQ(stereo->WrittenFrames(), 0u);
}

TEST(AlsaBackendTest, CaptureFillsWholeFrames) {
  AlsaBackend backend;
  std::string error;
  auto capture =
      backend.OpenCapture(AudioDeviceInfo{"null", "alsa", "null"}, kCaptureRateHz, 2, error);
  ASSERT_NE(capture, nullptr) << error;
  std::vector<std::int16_t> samples(7);
  EXPECT_EQ(capture->Read(samples), 6u);
  std::vector<std::int16_t> more(2 * kCaptureRateHz);
  EXPECT_EQ(capture->Read(more), more.size());
}

}  // namespace
}  // namespace sequelo::audio
