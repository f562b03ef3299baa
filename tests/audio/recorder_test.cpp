#include "audio/recorder.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "audio/audio_system.h"
#include "audio/tone_generator.h"
#include "core/tone_decoder.h"
#include "tests/support/decode_helpers.h"
#include "tests/support/fake_audio.h"
#include "tests/support/signal_generator.h"
#include "tx/sequence_encoder.h"

namespace sequelo::audio {
namespace {

using testsupport::FakeCaptureBackend;

// A call as 6000 Hz capture audio, in whole buffers.
std::vector<std::int16_t> CallAudio(const std::string& code) {
  testsupport::CallSignal call;
  call.code = code;
  call.leadMs = 100;
  call.trailMs = 200;
  auto stereo = testsupport::ToCaptureStereo(testsupport::MakeCall(call));
  stereo.resize((stereo.size() / core::kBufferSamples + 1) * core::kBufferSamples, 0);
  return stereo;
}

// Feeds audio one buffer at a time, as a device records it, each once the
// capture thread has dealt with the one before (so nothing piles up).
void FeedPaced(Recorder& recorder, testsupport::FakeCaptureStream& stream,
               const std::vector<std::int16_t>& audio) {
  for (std::size_t i = 0; i < audio.size(); i += core::kBufferSamples) {
    const std::uint64_t before = stream.Reads();
    stream.Feed(std::vector<std::int16_t>(
        audio.begin() + static_cast<std::ptrdiff_t>(i),
        audio.begin() + static_cast<std::ptrdiff_t>(i + core::kBufferSamples)));
    stream.WaitForReads(before + 1);
    while (recorder.AnalysedBuffers() + recorder.LostBuffers() < before + 1) {
      std::this_thread::yield();
    }
  }
}

std::vector<std::int16_t> Silence(std::size_t buffers) {
  return std::vector<std::int16_t>(buffers * core::kBufferSamples, 0);
}

TEST(Recorder, EveryBufferInOrderOnTheCaptureThread) {
  FakeCaptureBackend audio;
  Recorder recorder(audio);
  ASSERT_EQ(recorder.Open(audio.InputDevices()[0]), 0);
  std::vector<std::int16_t> firstSamples;
  std::thread::id callbackThread;
  recorder.SetCallback([&](core::CaptureBuffer buffer) {
    firstSamples.push_back(buffer[0]);
    callbackThread = std::this_thread::get_id();
  });
  recorder.Start();
  std::vector<std::int16_t> audioIn;
  for (int i = 0; i < 40; ++i) {
    std::vector<std::int16_t> b(core::kBufferSamples, static_cast<std::int16_t>(i));
    audioIn.insert(audioIn.end(), b.begin(), b.end());
  }
  FeedPaced(recorder, *audio.current, audioIn);
  audio.current->End();
  recorder.Stop();
  ASSERT_EQ(firstSamples.size(), 40U);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(firstSamples[static_cast<std::size_t>(i)], i);
  }
  EXPECT_NE(callbackThread, std::this_thread::get_id());
  EXPECT_EQ(recorder.LostBuffers(), 0U);
  EXPECT_EQ(recorder.AnalysedBuffers(), 40U);
}

// The capture thread held busy (a code handler sending an answer): what the
// 16 buffers can hold waits its turn; beyond that it is lost and counted.
class BusyCapture : public ::testing::TestWithParam<int> {};

TEST_P(BusyCapture, KeepsWhatFitsCountsTheRestThenDecodesOn) {
  const int busyBuffers = GetParam();  // 9 is ~200 ms, 94 is ~2 s
  FakeCaptureBackend audio;
  Recorder recorder(audio);
  ASSERT_EQ(recorder.Open(audio.InputDevices()[0]), 0);
  core::ManualTickClock clock;
  core::ToneDecoder decoder(clock);
  decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
  testsupport::CodeCollector codes;
  decoder.SetSinks({nullptr, &codes, nullptr});
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> blockNext{true};
  recorder.SetCallback([&](core::CaptureBuffer buffer) {
    if (blockNext.exchange(false)) {
      released.wait();  // busy, e.g. transmitting an answer
    }
    clock.Advance(21);
    decoder.AnalyseBuffer(buffer);
  });
  recorder.Start();
  auto& stream = *audio.current;
  stream.Feed(Silence(1));
  stream.WaitForReads(1);
  stream.Feed(Silence(static_cast<std::size_t>(busyBuffers)));
  stream.WaitForReads(1 + static_cast<std::uint64_t>(busyBuffers));
  // One buffer is with the blocked callback; 15 more can wait.
  const std::uint64_t expectedLost =
      busyBuffers > 15 ? static_cast<std::uint64_t>(busyBuffers - 15) : 0;
  // The last block read may not be placed (or counted lost) yet: release
  // the callback only once it is, or a buffer freed meanwhile would take it.
  while (recorder.LostBuffers() < expectedLost) {
    std::this_thread::yield();
  }
  release.set_value();
  // The held-back buffers are analysed first, then the call comes in.
  while (recorder.AnalysedBuffers() + recorder.LostBuffers() < stream.Reads()) {
    std::this_thread::yield();
  }
  FeedPaced(recorder, stream, CallAudio("12345"));
  stream.End();
  recorder.Stop();
  EXPECT_EQ(recorder.LostBuffers(), expectedLost);
  EXPECT_EQ(recorder.AnalysedBuffers() + recorder.LostBuffers(), stream.Reads());
  EXPECT_EQ(codes.Get(), std::vector<std::string>{"12345"});
}

INSTANTIATE_TEST_SUITE_P(HeldFor, BusyCapture, ::testing::Values(9, 15, 16, 94));

TEST(Recorder, StartAndStopManyTimesAndWhileTheHandlerIsBlocked) {
  FakeCaptureBackend audio(true);  // free-running: audio always there
  Recorder recorder(audio);
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(StartCapture(recorder, audio.InputDevices(), 0, [](core::CaptureBuffer) {}));
    StopCapture(recorder);
    ASSERT_FALSE(recorder.IsOpen());
  }
  // Stopping while the callback is blocked waits for it, without deadlock.
  std::promise<void> inCallback;
  std::promise<void> release;
  std::atomic<bool> first{true};
  ASSERT_TRUE(StartCapture(recorder, audio.InputDevices(), 0, [&](core::CaptureBuffer) {
    if (first.exchange(false)) {
      inCallback.set_value();
      release.get_future().wait();
    }
  }));
  inCallback.get_future().wait();
  std::thread stopper([&] { StopCapture(recorder); });
  release.set_value();
  stopper.join();
  EXPECT_FALSE(recorder.IsRunning());
  EXPECT_EQ(audio.opens, 201);
}

TEST(Recorder, ADeviceThatDoesNotOpenLeavesCaptureStopped) {
  FakeCaptureBackend audio;
  Recorder recorder(audio);
  EXPECT_FALSE(StartCapture(recorder, audio.InputDevices(), 1, [](core::CaptureBuffer) {}));
  EXPECT_FALSE(recorder.IsOpen());
  EXPECT_EQ(recorder.Error(), "device busy");
  EXPECT_FALSE(StartCapture(recorder, audio.InputDevices(), -1, [](core::CaptureBuffer) {}));
  EXPECT_FALSE(StartCapture(recorder, {}, 0, [](core::CaptureBuffer) {}));
  recorder.Stop();  // harmless
  recorder.Close();
}

TEST(ListInputDevices, AtMostTenAndLoopbackStays) {
  testsupport::EventTrail trail;
  class ManyInputs final : public AudioBackend {
   public:
    std::vector<AudioDeviceInfo> OutputDevices() override { return {}; }
    std::vector<AudioDeviceInfo> InputDevices() override {
      std::vector<AudioDeviceInfo> list;
      for (int i = 0; i < 12; ++i) {
        list.push_back({"Mic " + std::to_string(i), "fake", std::to_string(i)});
      }
      return list;
    }
    bool DefaultOutput(AudioDeviceInfo&) override { return false; }
    std::unique_ptr<PlaybackStream> OpenPlayback(const AudioDeviceInfo&, int, int,
                                                 std::string&) override {
      return nullptr;
    }
    std::unique_ptr<CaptureStream> OpenCapture(const AudioDeviceInfo&, int, int,
                                               std::string&) override {
      return nullptr;
    }
  };
  AudioSystem audio(std::make_unique<ManyInputs>());
  const auto devices = ListInputDevices(audio);
  ASSERT_EQ(devices.size(), 10U);
  EXPECT_EQ(devices[8].name, "Mic 8");
  EXPECT_EQ(devices[9].name, "Loopback");
}

// A station without a sound card hears what it sends on the Loopback device.
TEST(Recorder, CallsSentOnLoopbackAreDecodedLiveWithNothingLost) {
  AudioSystem audio(nullptr);
  ToneGenerator tones(audio);
  tones.ListOutputDevices();
  ASSERT_TRUE(tones.OpenOutputDevices(0));
  Recorder recorder(audio);
  core::SteadyTickClock clock;
  core::ToneDecoder decoder(clock);
  testsupport::CodeCollector codes;
  decoder.SetSinks({nullptr, &codes, nullptr});
  const auto inputs = ListInputDevices(audio);
  ASSERT_TRUE(StartCapture(recorder, inputs, static_cast<int>(inputs.size()) - 1,
                           [&](core::CaptureBuffer b) { decoder.AnalyseBuffer(b); }));
  core::NoKeying ptt;
  tx::SequenceEncoder encoder(tones, ptt, tx::CallOptionsForMode(core::kModeZvei));
  decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
  encoder.SendCall("12234");
  encoder.options = tx::CallOptionsForMode(core::kModeDzvei);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // past the dead time
  decoder.SetToneSet(core::BuiltInToneSet(core::kModeDzvei));
  encoder.SendCall("11211");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the last buffers arrive
  StopCapture(recorder);
  EXPECT_EQ(codes.Get(), (std::vector<std::string>{"12234", "11211"}));
  EXPECT_EQ(recorder.LostBuffers(), 0U);
  EXPECT_GT(recorder.AnalysedBuffers(), 30U);
}

}  // namespace
}  // namespace sequelo::audio
