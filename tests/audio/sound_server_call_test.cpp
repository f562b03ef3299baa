// A call sent through a real sound server: played by SendCall on the null
// sink "TestSink", captured from its monitor, it must be one burst without
// gaps, decode to itself, and the transmitter must be released only once the
// stream's own clock has played the last sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>
#include <span>
#include <thread>

#include "audio/audio_system.h"
#include "audio/pulse_backend.h"
#include "audio/recorder.h"
#include "audio/tone_generator.h"
#include "control/command_interpreter.h"
#include "core/tone_decoder.h"
#include "tests/support/decode_helpers.h"
#include "tests/support/fake_playback.h"
#include "tests/support/memory_log.h"
#include "tx/abortable_wait.h"
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

// Sound and silence in `x` (6000 Hz): runs of samples above a twentieth of
// the peak, silences shorter than 20 ms (zero crossings) counted as sound.
struct Stretch {
  std::size_t from, to;
};
std::vector<Stretch> Sounds(const std::vector<double>& x) {
  double peak = 0.0;
  for (double v : x) {
    peak = std::max(peak, std::abs(v));
  }
  std::vector<Stretch> sounds;
  std::size_t quietSince = 0;
  bool inSound = false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::abs(x[i]) > peak / 20) {
      if (!inSound || i - quietSince > 120) {
        sounds.push_back({i, i});
      }
      sounds.back().to = i;
      inSound = true;
      quietSince = i;
    }
  }
  return sounds;
}

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
    // Whole from its first sample, the second call too, which starts on a
    // stream that has run dry after the first.
    const std::vector<Stretch> sounds = Sounds(std::vector<double>(first.begin(), first.end()));
    ASSERT_EQ(sounds.size(), 1U);
    EXPECT_NEAR(static_cast<double>(sounds[0].to - sounds[0].from) / 6.0, 350.0, 1.5);
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

// The amplitude of `hz` in `samples` (6000 Hz), by correlation.
double Amplitude(std::span<const double> samples, double hz) {
  double re = 0.0;
  double im = 0.0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(i) / 6000.0;
    re += samples[i] * std::cos(phase);
    im += samples[i] * std::sin(phase);
  }
  return 2.0 * std::hypot(re, im) / static_cast<double>(samples.size());
}

// An alarm as receivers expect it (call, 600 ms, call, 600 ms, 5 s of the
// fire siren) goes out in one keying: both calls decode, the pauses last
// 600 ms on the air, and the siren's two tones are there at half a call
// tone's level each, for 5 s. A sound server that misses one of its own
// cycles on a busy machine loses that cycle (about 11 ms) now and then, from
// whichever sound it falls in, so the alarm is sent up to three times and
// each length must hold in one of them: a length the program gets wrong is
// wrong every time. Levels are measured where no cycle was lost.
TEST_F(SoundServer, AnAlarmGoesOutInOneKeyingWithItsPausesAndSiren) {
  std::string error;
  const auto inputs = audio_->InputDevices();
  const int monitor = IndexOf(inputs, "Monitor of TestSink");
  ASSERT_GE(monitor, 0);
  auto capture = audio_->OpenCapture(inputs[static_cast<std::size_t>(monitor)], 6000, 1, error);
  ASSERT_TRUE(capture) << error;

  control::AlarmShape shape;
  shape.repeats = 2;
  shape.trailer = control::AlarmShape::Trailer::kSiren;
  shape.siren = control::SirenNumber(core::DefaultTrailerClasses(), "fire");
  shape.trailerMs = 5000;
  const std::string command = control::AlarmCommandString("12345", shape, error);
  ASSERT_EQ(command, "K12345Q0600K12345Q0600S15000R") << error;

  const auto ms = [](std::size_t samples) { return static_cast<double>(samples) / 6.0; };
  const auto near = [](double value, double expected) {
    return std::abs(value - expected) <= 10.0;
  };
  std::string attempts;
  constexpr double kExpected[] = {350.0, 600.0, 600.0, 5000.0};
  bool held[] = {false, false, false, false};
  bool decoded = false;
  const auto allHeld = [&] { return std::ranges::all_of(held, [](bool h) { return h; }); };
  for (int attempt = 0; attempt < 3 && !(decoded && allHeld()); ++attempt) {
    // Captured until half a second after the alarm has played (20 s at most).
    std::vector<std::int16_t> captured;
    std::atomic<bool> sent{false};
    std::thread listen([&] {
      std::vector<std::int16_t> buffer(600);
      for (int after = 0; after < 5 && captured.size() < 20 * 6000;) {
        ASSERT_EQ(capture->Read(buffer), buffer.size());
        captured.insert(captured.end(), buffer.begin(), buffer.end());
        after += sent ? 1 : 0;
      }
    });
    testsupport::RecordingTransmitter ptt;
    tx::AbortableWait pauses;
    tx::Transmission tx(*tones_, ptt, pauses);
    testsupport::MemoryLog log;
    control::RunCommandString(tx, command, tx::CallOptionsForMode(core::kModeZvei), log);
    sent = true;
    listen.join();
    ASSERT_EQ(ptt.keys, 1);

    std::vector<std::int16_t> stereo;
    for (std::int16_t v : captured) {
      stereo.insert(stereo.end(), {v, v});
    }
    // A lost cycle inside a tone may cost a call now and then; not every time.
    const auto codes = testsupport::DecodeCapture6000(stereo, core::kModeZvei);
    decoded = decoded || codes == std::vector<std::string>{"12345", "12345"};
    attempts += " [" + std::to_string(codes.size()) + " calls decoded]";

    const std::vector<double> x(captured.begin(), captured.end());
    const std::vector<Stretch> sounds = Sounds(x);
    if (sounds.size() != 3U) {  // call, call, siren; a starved player tears one
      attempts += " [" + std::to_string(sounds.size()) + " sounds]";
      continue;
    }
    const double lengths[] = {ms(sounds[0].to - sounds[0].from), ms(sounds[1].from - sounds[0].to),
                              ms(sounds[2].from - sounds[1].to), ms(sounds[2].to - sounds[2].from)};
    for (std::size_t i = 0; i < 4; ++i) {
      held[i] = held[i] || near(lengths[i], kExpected[i]);
    }
    attempts += " [call " + std::to_string(lengths[0]) + ", pause " + std::to_string(lengths[1]) +
                ", pause " + std::to_string(lengths[2]) + ", siren " + std::to_string(lengths[3]) +
                " ms]";

    // Levels: the call's first tone (ZVEI 1, 1060 Hz) against the siren's.
    const std::span<const double> all(x);
    const double callTone = Amplitude(all.subspan(sounds[0].from + 60, 300), 1060.0);
    // The siren's level is the median over its 100 ms pieces: a lost cycle
    // breaks the phase of the one it falls in, not the level.
    const auto sirenLevel = [&](double hz) {
      std::vector<double> levels;
      for (std::size_t at = sounds[2].from + 600; at + 600 <= sounds[2].from + 24600; at += 600) {
        levels.push_back(Amplitude(all.subspan(at, 600), hz));
      }
      std::ranges::nth_element(levels,
                               levels.begin() + static_cast<std::ptrdiff_t>(levels.size() / 2));
      return levels[levels.size() / 2];
    };
    EXPECT_NEAR(sirenLevel(675.0) / callTone, 0.5, 0.05);
    EXPECT_NEAR(sirenLevel(1240.0) / callTone, 0.5, 0.05);
  }
  EXPECT_TRUE(decoded) << "the two calls never decoded:" << attempts;
  EXPECT_TRUE(allHeld()) << "not every one of 350 / 600 / 600 / 5000 ms held:" << attempts;
}

}  // namespace
}  // namespace sequelo::audio
