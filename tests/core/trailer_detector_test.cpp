// The trailer detector: each class after an alarm call, in noise and off
// frequency; what must not give a class (tones out of tolerance, one tone of
// a pair, a short or steady wake tone, five-tone calls, interference); one
// report per run.
#include "core/trailer_detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "core/clock.h"
#include "tests/support/call_scoring.h"
#include "tests/support/interference.h"
#include "tests/support/signal_generator.h"

namespace sequelo {
namespace {

constexpr double kRate = 6000.0;
const double kAmplitude = testsupport::AmplitudeOf(-20.0);  // each tone

struct Heard {
  std::string name;
  std::uint32_t startMs = 0;
  std::uint32_t heardMs = 0;
};

class Collect final : public core::TrailerSink {
 public:
  void OnTrailer(const core::TrailerHeard& heard) override {
    got.push_back({std::string(heard.name), heard.startMs, heard.heardMs});
  }
  std::vector<Heard> got;
};

// Buffer i goes in at baseMs + floor(i x 128000 / 6000), as in file decoding.
std::uint32_t TickOf(std::uint64_t buffer, std::uint32_t baseMs) {
  return baseMs + static_cast<std::uint32_t>(buffer * 128000 / 6000);
}

std::vector<Heard> Detect(const std::vector<double>& mono, std::uint32_t baseMs = 0) {
  Collect collect;
  core::TrailerDetector detector(core::DefaultTrailerClasses(), &collect);
  const auto stereo = testsupport::ToCaptureStereo(mono);
  for (std::size_t i = 0; i + core::kBufferSamples <= stereo.size(); i += core::kBufferSamples) {
    detector.AnalyseBuffer(core::CaptureBuffer(stereo.data() + i, core::kBufferSamples),
                           TickOf(i / core::kBufferSamples, baseMs));
  }
  return collect.got;
}

double MsOf(const std::vector<double>& samples) {
  return static_cast<double>(samples.size()) * 1000.0 / kRate;
}

void Silence(std::vector<double>& samples, double ms) {
  double phase = 0.0;
  testsupport::AppendTone(samples, kRate, 0.0, 0.0, ms, phase);
}

// Appends the class's signal: the wake tone as 0.8 s on, 0.3 s off,
// `periods` times; a double tone for `ms`.
void AppendClass(std::vector<double>& samples, const core::TrailerClass& c, double offset,
                 double ms = 5000.0, int periods = 5) {
  double phase1 = 0.3;
  double phase2 = 1.1;
  if (c.highHz == 0) {
    testsupport::AppendIntermittentTone(samples, kRate, c.lowHz * (1.0 + offset), kAmplitude, 800.0,
                                        300.0, periods, phase1);
  } else {
    testsupport::AppendDoubleTone(samples, kRate, c.lowHz * (1.0 + offset),
                                  c.highHz * (1.0 + offset), kAmplitude, ms, phase1, phase2);
  }
}

// An alarm: the call twice, 600 ms apart, 600 ms of pause, then the class.
// Returns where the class starts, in ms.
double AppendAlarm(std::vector<double>& samples, const core::TrailerClass& c, double offset,
                   const std::string& code = "12345") {
  testsupport::CallSignal call;
  call.code = code;
  call.levelDbfs = -20.0;
  call.leadMs = 300.0;
  call.trailMs = 600.0;
  for (int i = 0; i < 2; ++i) {
    const auto one = testsupport::MakeCall(call);
    samples.insert(samples.end(), one.begin(), one.end());
  }
  const double startMs = MsOf(samples);
  AppendClass(samples, c, offset);
  Silence(samples, 500.0);
  return startMs;
}

// Each class after a call, at 10 dB SNR (each tone's power over white noise
// in 0..3000 Hz) and up to 1 % off: reported once, as itself, on time.
TEST(TrailerDetector, EveryClassFoundInNoiseAndOffFrequency) {
  std::uint32_t seed = 1;
  for (const auto& c : core::DefaultTrailerClasses()) {
    for (double offset : {-0.01, 0.0, 0.01}) {
      for (int round = 0; round < 3; ++round, ++seed) {
        std::vector<double> samples;
        Silence(samples, 97.0 * round);  // another alignment to the windows
        const double startMs = AppendAlarm(samples, c, offset);
        testsupport::AddNoise(samples, testsupport::NoiseSigmaFor(kAmplitude, 10.0), seed);
        const auto heard = Detect(samples);
        const std::string what = c.name + " at " + std::to_string(offset);
        ASSERT_EQ(heard.size(), 1U) << what;
        EXPECT_EQ(heard[0].name, c.name) << what;
        EXPECT_NEAR(heard[0].startMs, startMs, 150.0) << what;
        // 2 s of tone: the wake tone's third on-period, 2.6 s after its start.
        const double wantMs = startMs + (c.intermittent ? 2600.0 : 2000.0);
        EXPECT_NEAR(heard[0].heardMs, wantMs, 250.0) << what;
      }
    }
  }
}

// Out of tolerance, half a pair, too short, too steady: no class.
TEST(TrailerDetector, NoClassForLookalikes) {
  const auto classes = core::DefaultTrailerClasses();
  const core::TrailerClass& wake = classes[0];
  const core::TrailerClass& fire = classes[1];
  ASSERT_EQ(fire.name, "fire");
  std::vector<std::vector<double>> cases;
  for (const auto& c : classes) {
    for (double offset : {-0.02, 0.02}) {
      cases.emplace_back();
      AppendClass(cases.back(), c, offset);
    }
  }
  for (int hz : {fire.lowHz, fire.highHz}) {  // one tone of the pair alone
    cases.emplace_back();
    double phase = 0.0;
    testsupport::AppendTone(cases.back(), kRate, hz, kAmplitude, 5000.0, phase);
  }
  {  // the pair under a third, stronger tone
    cases.emplace_back();
    AppendClass(cases.back(), fire, 0.0);
    double phase = 0.0;
    std::vector<double> third;
    testsupport::AppendTone(third, kRate, 1500.0, kAmplitude, 5000.0, phase);
    for (std::size_t i = 0; i < third.size(); ++i) {
      cases.back()[i] += 2.0 * third[i];
    }
  }
  {  // a wake tone of 1 s in all
    cases.emplace_back();
    double phase = 0.0;
    testsupport::AppendIntermittentTone(cases.back(), kRate, wake.lowHz, kAmplitude, 500.0, 300.0,
                                        2, phase);
  }
  {  // a steady tone on the wake tone's frequency, and one more on-period
    cases.emplace_back();
    double phase = 0.0;
    testsupport::AppendTone(cases.back(), kRate, wake.lowHz, kAmplitude, 3000.0, phase);
    testsupport::AppendTone(cases.back(), kRate, 0.0, 0.0, 300.0, phase);
    testsupport::AppendTone(cases.back(), kRate, wake.lowHz, kAmplitude, 800.0, phase);
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Silence(cases[i], 600.0);
    testsupport::AddNoise(cases[i], testsupport::NoiseSigmaFor(kAmplitude, 30.0),
                          40U + static_cast<std::uint32_t>(i));
    const auto heard = Detect(cases[i]);
    EXPECT_TRUE(heard.empty()) << "case " << i << ": " << heard.front().name;
  }
}

// A run reports once however long it goes on, and a pause of up to 0.5 s
// does not end it; after a clear pause the next run reports again. The
// ticks run across the 32-bit wrap.
TEST(TrailerDetector, OneReportPerRun) {
  const auto classes = core::DefaultTrailerClasses();
  const core::TrailerClass& wake = classes[0];
  const core::TrailerClass& fire = classes[1];
  const std::uint32_t baseMs = 0xFFFFFFFFU - 1000U;
  struct RunCase {
    const core::TrailerClass& c;
    double pauseMs;  // between two stretches of the class
    std::size_t reports;
  };
  for (const RunCase& r : {RunCase{fire, 400.0, 1}, RunCase{fire, 1500.0, 2},
                           RunCase{wake, 450.0, 1}, RunCase{wake, 1500.0, 2}}) {
    std::vector<double> samples;
    Silence(samples, 200.0);
    AppendClass(samples, r.c, 0.0, 12000.0, 10);
    Silence(samples, r.pauseMs);
    AppendClass(samples, r.c, 0.0, 3000.0, 4);
    Silence(samples, 600.0);
    testsupport::AddNoise(samples, testsupport::NoiseSigmaFor(kAmplitude, 20.0), 7);
    const auto heard = Detect(samples, baseMs);
    ASSERT_EQ(heard.size(), r.reports) << r.c.name << " with a pause of " << r.pauseMs;
    for (const Heard& h : heard) {
      EXPECT_EQ(h.name, r.c.name);
      EXPECT_NEAR(core::ElapsedMs(h.startMs, h.heardMs), r.c.intermittent ? 2600.0 : 2000.0, 250.0);
    }
    EXPECT_NEAR(core::ElapsedMs(baseMs, heard[0].startMs), 200.0, 150.0);
  }
}

// Five-tone calls of every tone set, sent twice, at several levels of
// noise, with nothing after them: no class.
TEST(TrailerDetector, NoClassFromCalls) {
  std::uint32_t codeState = 11;
  std::vector<double> samples;
  for (int i = 0; i < 240; ++i) {
    testsupport::CallSignal call;
    call.modeIndex = i % static_cast<int>(core::kModeNames.size());
    // Repeats now and then: "11111" sends 1 R 1 R 1, the repeat tone of
    // ZVEI being 2600 Hz.
    call.code = i % 6 == 0 ? std::string(5, static_cast<char>('0' + i % 10))
                           : testsupport::RandomCode(codeState);
    call.levelDbfs = -20.0;
    call.snrDb = 10.0 + i % 4 * 10.0;
    call.seed = 100U + static_cast<std::uint32_t>(i);
    call.leadMs = 100.0 + i % 7 * 13.0;
    call.trailMs = 600.0;
    for (int repeat = 0; repeat < 2; ++repeat) {
      const auto one = testsupport::MakeCall(call);
      samples.insert(samples.end(), one.begin(), one.end());
    }
  }
  const auto heard = Detect(samples);
  EXPECT_TRUE(heard.empty()) << heard.size() << " classes, first " << heard.front().name;
}

// Minutes of white noise and of each kind of interference at -20 dBFS. The
// sanitizer build, several times slower, runs a minute of each.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kInterferenceMinutes = 1.0;
#else
constexpr double kInterferenceMinutes = 10.0;
#endif

using testsupport::InterferenceKind;

// White noise, or a kind of interference.
class TrailerQuiet : public ::testing::TestWithParam<int> {};

std::string QuietName(int kind) {
  return kind < 0 ? "noise"
                  : std::string(testsupport::InterferenceName(static_cast<InterferenceKind>(kind)));
}

TEST_P(TrailerQuiet, NoClass) {
  const int kind = GetParam();
  testsupport::InterferenceStream stream(
      kind < 0 ? InterferenceKind::kMusic : static_cast<InterferenceKind>(kind),
      600U + static_cast<std::uint32_t>(kind + 1));
  if (!stream.Ok()) {
    GTEST_SKIP() << "espeak-ng is not installed (Debian package espeak-ng)";
  }
  testsupport::FastGaussian noise(77);
  Collect collect;
  core::TrailerDetector detector(core::DefaultTrailerClasses(), &collect);
  std::array<double, core::kBufferFrames> mono{};
  std::array<std::int16_t, core::kBufferSamples> stereo{};
  const auto buffers =
      static_cast<std::uint64_t>(kInterferenceMinutes * 60.0 * kRate / core::kBufferFrames);
  for (std::uint64_t b = 0; b < buffers; ++b) {
    if (kind < 0) {
      for (double& s : mono) {
        s = 0.1 * noise.Next();
      }
    } else {
      stream.Fill(mono.data(), mono.size());
    }
    for (std::size_t n = 0; n < mono.size(); ++n) {
      stereo[2 * n] = static_cast<std::int16_t>(
          std::clamp(std::nearbyint(mono[n] * 32768.0), -32768.0, 32767.0));
    }
    detector.AnalyseBuffer(core::CaptureBuffer(stereo), TickOf(b, 0));
  }
  EXPECT_TRUE(collect.got.empty())
      << QuietName(kind) << ": " << collect.got.size() << " classes, first "
      << collect.got.front().name << " at " << collect.got.front().startMs << " ms";
}

INSTANTIATE_TEST_SUITE_P(Kinds, TrailerQuiet, ::testing::Values(-1, 0, 1, 2, 3),
                         [](const auto& param) {
                           std::string name = QuietName(param.param);
                           std::erase(name, ' ');
                           return name;
                         });

}  // namespace
}  // namespace sequelo
