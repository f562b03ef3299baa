// A call sent through a real sound server: played by SendCall on the null
// sink "TestSink", captured from its monitor, it must be one burst without
// gaps, decode to itself, and the transmitter must be released only once the
// stream's own clock has played the last sample.
#include <gtest/gtest.h>

#include <thread>

#include "audio/audio_system.h"
#include "audio/pulse_backend.h"
#include "audio/recorder.h"
#include "audio/tone_generator.h"
#include "core/tone_decoder.h"
#include "tests/support/decode_helpers.h"
#include "tx/sequence_encoder.h"

namespace sequelo::audio {
namespace {

class ReleaseWatch final : public core::Transmitter {
 public:
  explicit ReleaseWatch(ToneGenerator& tones) : tones_(tones) {}
  bool KeyTransmitter() override { return true; }
  void ReleaseTransmitter() override {
    played = tones_.TransmitDevice()->PlayedFrames();
    written = tones_.TransmitDevice()->WrittenFrames();
  }
  std::uint64_t played = 0;
  std::uint64_t written = 0;

 private:
  ToneGenerator& tones_;
};

int IndexOf(const std::vector<AudioDeviceInfo>& devices, const std::string& name) {
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].name == name) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// The test sound server, with the transmit device on TestSink.
class SoundServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto pulse = PulseBackend::Connect(error);
    ASSERT_TRUE(pulse) << error;
    audio_ = std::make_unique<AudioSystem>(std::move(pulse));
    tones_ = std::make_unique<ToneGenerator>(*audio_);
    tones_->ListOutputDevices();
    const int sink = IndexOf(tones_->OutputSlots(), "TestSink");
    ASSERT_GE(sink, 0);
    ASSERT_TRUE(tones_->OpenOutputDevices(sink)) << tones_->OpenError();
  }
  std::unique_ptr<AudioSystem> audio_;
  std::unique_ptr<ToneGenerator> tones_;
};

TEST_F(SoundServer, ACallSentOnTheSinkComesBackWholeFromItsMonitor) {
  AudioSystem& audio = *audio_;
  ToneGenerator& tones = *tones_;
  std::string error;
  const auto inputs = audio.InputDevices();
  const int monitor = IndexOf(inputs, "Monitor of TestSink");
  ASSERT_GE(monitor, 0);
  auto capture = audio.OpenCapture(inputs[static_cast<std::size_t>(monitor)], 6000, 2, error);
  ASSERT_TRUE(capture) << error;

  std::uint64_t sent = 0;
  for (int mode : {core::kModeZvei, core::kModeDzvei}) {
    std::vector<std::int16_t> captured;
    std::thread listen([&] {
      std::vector<std::int16_t> buffer(core::kBufferSamples);
      for (int i = 0; i < 80; ++i) {  // 1.7 s
        ASSERT_EQ(capture->Read(buffer), buffer.size());
        captured.insert(captured.end(), buffer.begin(), buffer.end());
      }
    });
    ReleaseWatch ptt(tones);
    tx::SequenceEncoder encoder(tones, ptt, tx::CallOptionsForMode(mode));
    encoder.SendCall("11211");
    listen.join();

    sent += 5U * 771U;  // the stream counts on from the call before
    EXPECT_EQ(ptt.written, sent);
    EXPECT_GE(ptt.played, ptt.written);
    EXPECT_EQ(testsupport::DecodeCapture6000(captured, mode), std::vector<std::string>{"11211"});
    std::vector<std::int16_t> first;
    for (std::size_t i = 0; i < captured.size(); i += 2) {
      first.push_back(captured[i]);
    }
    EXPECT_LE(testsupport::LongestGapMs(first, 6000), 2.0);
  }
}

// Switching the input device while capturing restarts capture on the new
// device, and decoding goes on there.
TEST_F(SoundServer, SwitchingTheInputDeviceGoesOnDecoding) {
  AudioSystem& audio = *audio_;
  ToneGenerator& tones = *tones_;
  const auto inputs = ListInputDevices(audio);
  const int loopback = IndexOf(inputs, "Loopback");
  const int monitor = IndexOf(inputs, "Monitor of TestSink");
  ASSERT_GE(loopback, 0);
  ASSERT_GE(monitor, 0);

  core::SteadyTickClock clock;
  core::ToneDecoder decoder(clock);
  decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
  testsupport::CodeCollector heard;
  decoder.SetSinks({nullptr, &heard, nullptr});
  const auto analyse = [&decoder](core::CaptureBuffer b) { decoder.AnalyseBuffer(b); };
  Recorder recorder(audio);
  ASSERT_TRUE(StartCapture(recorder, inputs, loopback, analyse));
  core::NoKeying ptt;
  tx::SequenceEncoder encoder(tones, ptt, tx::CallOptionsForMode(core::kModeZvei));
  encoder.SendCall("12345");  // on TestSink: the Loopback input hears nothing
  StopCapture(recorder);
  EXPECT_TRUE(heard.Get().empty());

  ASSERT_TRUE(StartCapture(recorder, inputs, monitor, analyse));
  encoder.SendCall("67890");
  // Until the last buffers of the call have come through the server.
  for (int i = 0; i < 100 && heard.Get().empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  StopCapture(recorder);
  EXPECT_EQ(heard.Get(), std::vector<std::string>{"67890"});
  EXPECT_EQ(recorder.LostBuffers(), 0U);
}

}  // namespace
}  // namespace sequelo::audio
