// The enhanced decoder on generated calls: sensitivity, frequency offset,
// level, tone lengths, wrong codes, the DZVEI repeat tone, calls next to
// other sounds, how soon a code comes, and the analysis log. Random codes and
// noise from fixed seeds; SNR is tone power over white-noise power in
// 0..3000 Hz.
#include "core/enhanced_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "core/whole_call_search.h"
#include "tests/support/call_scoring.h"
#include "tests/support/interference.h"
#include "tests/support/signal_generator.h"

namespace sequelo {
namespace {

using core::DecoderChoice;
using testsupport::BatchScore;
using testsupport::CallBatch;
using testsupport::CallSignal;
using testsupport::CodesOf;
using testsupport::MakeCall;
using testsupport::ScoreCalls;

std::string ModeName(int mode) {
  return std::string(core::kModeNames[static_cast<std::size_t>(mode)]);
}

std::vector<std::string> DecodeEnhanced(const std::vector<double>& samples, int mode,
                                        std::vector<std::string>* lines = nullptr) {
  return CodesOf(testsupport::DecodeMono6000With(DecoderChoice::kEnhanced, samples, mode, lines));
}

// --- Sensitivity and tone lengths -------------------------------------------

struct SensitivityCase {
  int mode;
  double snrDb;
  double toneMs;
  double minShare;  // of calls decoded exactly
  int calls;
};

class EnhancedSensitivity : public ::testing::TestWithParam<SensitivityCase> {};

TEST_P(EnhancedSensitivity, DecodesTheShareAndNoWrongCode) {
  const SensitivityCase& c = GetParam();
  CallBatch batch;
  batch.modeIndex = c.mode;
  batch.snrDb = c.snrDb;
  batch.toneMs = c.toneMs;
  batch.calls = c.calls;
  batch.seed = 500 + static_cast<std::uint32_t>(c.toneMs) + 7U * static_cast<std::uint32_t>(c.mode);
  const BatchScore score = ScoreCalls(DecoderChoice::kEnhanced, batch);
  EXPECT_GE(score.Share(), c.minShare)
      << ModeName(c.mode) << " " << c.toneMs << " ms tones at " << c.snrDb
      << " dB: " << score.decoded << " of " << score.calls;
  // No wrong code at -6 dB and above; at most 1 in 1000 below.
  EXPECT_LE(score.wrong * 1000, c.snrDb >= -6.0 ? 0 : score.calls) << score.wrong << " wrong";
}

std::string NameOf(const ::testing::TestParamInfo<SensitivityCase>& info) {
  const auto& c = info.param;
  return ModeName(c.mode) + "_" + std::to_string(static_cast<int>(c.toneMs)) + "ms_minus" +
         std::to_string(static_cast<int>(-c.snrDb)) + "dB";
}

INSTANTIATE_TEST_SUITE_P(Calls, EnhancedSensitivity,
                         ::testing::Values(SensitivityCase{core::kModeZvei, -8.0, 70.0, 0.90, 300},
                                           SensitivityCase{core::kModeDzvei, -8.0, 70.0, 0.90, 300},
                                           SensitivityCase{core::kModeZvei, -6.0, 70.0, 0.99, 300},
                                           SensitivityCase{core::kModeDzvei, -6.0, 70.0, 0.99, 300},
                                           SensitivityCase{core::kModeZvei, -6.0, 40.0, 0.95, 300},
                                           SensitivityCase{core::kModeDzvei, -6.0, 40.0, 0.95, 300},
                                           SensitivityCase{core::kModeZvei, -6.0, 60.0, 0.98, 300},
                                           SensitivityCase{core::kModeDzvei, -6.0, 60.0, 0.98, 300},
                                           SensitivityCase{core::kModeZvei, -6.0, 100.0, 0.98, 300},
                                           SensitivityCase{core::kModeDzvei, -6.0, 100.0, 0.98,
                                                           300}),
                         NameOf);

// Below the decoder's reach it stays quiet rather than guess.
TEST(EnhancedWrongCodes, NoneInTenThousandCallsAtMinus6Db) {
#if defined(__SANITIZE_ADDRESS__)
  // Under AddressSanitizer everything runs several times slower; the full
  // count runs in the plain build.
  constexpr int kCallsPerMode = 500;
#else
  constexpr int kCallsPerMode = 5000;
#endif
  for (int mode : {core::kModeZvei, core::kModeDzvei}) {
    CallBatch batch;
    batch.modeIndex = mode;
    batch.snrDb = -6.0;
    batch.calls = kCallsPerMode;
    batch.seed = 9000 + static_cast<std::uint32_t>(mode);
    const BatchScore score = ScoreCalls(DecoderChoice::kEnhanced, batch);
    EXPECT_EQ(score.wrong, 0) << ModeName(mode);
    EXPECT_GE(score.Share(), 0.99) << ModeName(mode);
  }
}

// The search's chance that a code is wrong must mean what it says: over
// many weak calls (drawn as the W a tone and noise show, at per-tone SNRs
// the call does not tell), those it calls likely right are wrong about as
// often as it estimates. Too sure lets wrong codes through the gate; too
// unsure loses weak calls.
TEST(EnhancedWrongCodes, ErrorEstimateIsAsLikelyWrongAsItSays) {
  std::mt19937 random(7);
  std::normal_distribution<double> half(0.0, std::sqrt(0.5));
  std::uniform_real_distribution<double> lnG(std::log(6.0), std::log(40.0));
  constexpr int kAlphabet = 12;
  double estimated = 0.0;
  int wrong = 0;
  for (int call = 0; call < 20000; ++call) {
    const double g = std::exp(lnG(random));
    std::array<std::array<double, kAlphabet>, core::search::kSlots> w{};
    std::array<double, core::search::kSlots> q{};
    std::array<std::size_t, core::search::kSlots> decided{};
    bool right = true;
    for (std::size_t k = 0; k < w.size(); ++k) {
      for (std::size_t t = 0; t < kAlphabet; ++t) {  // tone 0 sent
        const double re = (t == 0 ? std::sqrt(g) : 0.0) + half(random);
        w[k][t] = re * re + std::pow(half(random), 2);
      }
      decided[k] =
          static_cast<std::size_t>(std::max_element(w[k].begin(), w[k].end()) - w[k].begin());
      q[k] = w[k][decided[k]];
      right = right && decided[k] == 0;
    }
    const double chance = core::search::CodeOdds(q).ChanceWrong(
        static_cast<int>(kAlphabet),
        [&](std::size_t k, int t) { return w[k][static_cast<std::size_t>(t)]; },
        [&](std::size_t k, int t) { return static_cast<std::size_t>(t) != decided[k]; });
    if (chance <= 0.05) {
      estimated += chance;
      wrong += right ? 0 : 1;
    }
  }
  ASSERT_GT(estimated, 20.0);
  EXPECT_GT(wrong, 0.6 * estimated);
  EXPECT_LT(wrong, 1.5 * estimated);
}

// Weak calls at the set's own tone length, which the whole-call search
// finds where tracking tone by tone loses about half of them (ZVEI at
// -10 dB), and calls heard through music running through the whole signal,
// whose notes beside the call must not pass for a neighbouring tone.
TEST(EnhancedWeakCalls, DecodedAtMinus10DbAndThroughMusic) {
  for (int mode : {core::kModeZvei, core::kModeCcir}) {
    CallBatch batch;
    batch.modeIndex = mode;
    batch.toneMs = core::BuiltInToneSet(mode)->toneMs;
    batch.snrDb = -10.0;
    batch.calls = 100;
    batch.seed = 20000 + static_cast<std::uint32_t>(mode);
    const BatchScore weak = ScoreCalls(DecoderChoice::kEnhanced, batch);
    EXPECT_GE(weak.decoded, 90) << ModeName(mode) << " at -10 dB";
    EXPECT_EQ(weak.wrong, 0) << ModeName(mode) << " at -10 dB";

    batch.snrDb = 30.0;
    batch.interference = static_cast<int>(testsupport::InterferenceKind::kMusic);
    batch.sirDb = 10.0;
    const BatchScore music = ScoreCalls(DecoderChoice::kEnhanced, batch);
    EXPECT_GE(music.decoded, 95) << ModeName(mode) << " through music at +10 dB";
    EXPECT_EQ(music.wrong, 0) << ModeName(mode) << " through music at +10 dB";
  }
}

// A weak call whose faded last tone the tracker lost, splitting its first
// tone in two instead, spans some 0.72 of five tones: a reading one tone off
// ("11617" for "16176", EEA at -10 dB) that only the search can confirm.
TEST(EnhancedWeakCalls, ATrackerReadingInFewerThanFiveTonesTimeNeedsTheSearch) {
  CallBatch batch;
  batch.modeIndex = core::kModeEea;
  batch.toneMs = core::BuiltInToneSet(core::kModeEea)->toneMs;
  batch.snrDb = -10.0;
  batch.seed = 12604;
  std::uint32_t codeState = testsupport::BatchCodeState(batch);
  CallSignal call;
  for (int i = 0; i <= 1374; ++i) {
    call = testsupport::BatchCall(batch, i, codeState);
  }
  ASSERT_EQ(call.code, "16176");
  EXPECT_EQ(DecodeEnhanced(MakeCall(call), core::kModeEea), std::vector<std::string>{});
}

// --- Frequency offset and level --------------------------------------------

class EnhancedOffset : public ::testing::TestWithParam<std::tuple<int, double>> {};

TEST_P(EnhancedOffset, AllDecodedWithinThreePercent) {
  const auto [mode, percent] = GetParam();
  CallBatch batch;
  batch.modeIndex = mode;
  batch.snrDb = 0.0;
  batch.offsetRelative = percent / 100.0;
  batch.calls = 100;
  batch.seed = 700 + static_cast<std::uint32_t>(std::lround(percent * 8 + 40));
  const BatchScore score = ScoreCalls(DecoderChoice::kEnhanced, batch);
  EXPECT_EQ(score.decoded, score.calls) << ModeName(mode) << " at " << percent << " %";
  EXPECT_EQ(score.wrong, 0);
}

// On the hypotheses, between them (0.375 % off the grid) and at the edges.
INSTANTIATE_TEST_SUITE_P(Offsets, EnhancedOffset,
                         ::testing::Combine(::testing::Values(core::kModeZvei, core::kModeDzvei),
                                            ::testing::Values(-3.0, -2.625, -1.5, -0.375, 0.0,
                                                              0.375, 1.125, 2.25, 3.0)));

TEST(EnhancedOffset, NoWrongCodeUpToFourPercent) {
  for (int mode : {core::kModeZvei, core::kModeDzvei}) {
    for (double percent : {-4.0, -3.5, 3.5, 4.0}) {
      for (double snr : {0.0, 20.0}) {
        CallBatch batch;
        batch.modeIndex = mode;
        batch.snrDb = snr;
        batch.offsetRelative = percent / 100.0;
        batch.calls = 100;
        batch.seed = 800 + static_cast<std::uint32_t>(percent * 2 + 10);
        EXPECT_EQ(ScoreCalls(DecoderChoice::kEnhanced, batch).wrong, 0)
            << ModeName(mode) << " at " << percent << " %, " << snr << " dB";
      }
    }
  }
}

TEST(EnhancedLevel, AllDecodedFromMinus6ToMinus80Dbfs) {
  for (int mode : {core::kModeZvei, core::kModeDzvei}) {
    for (double level : {-6.0, -20.0, -40.0, -60.0, -70.0, -80.0}) {
      CallBatch batch;
      batch.modeIndex = mode;
      batch.snrDb = 20.0;
      batch.levelDbfs = level;
      batch.calls = 100;
      batch.seed = 600 + static_cast<std::uint32_t>(-level);
      const BatchScore score = ScoreCalls(DecoderChoice::kEnhanced, batch);
      EXPECT_EQ(score.decoded, score.calls) << ModeName(mode) << " at " << level << " dBFS";
      EXPECT_EQ(score.wrong, 0);
    }
  }
}

// --- Codes and tone sets ---------------------------------------------------

// Every character, runs (own tone and repeat tone alternate) and '*'.
const std::vector<std::string> kCodes{"12345", "67890", "*1*2*", "11111", "12234",
                                      "00000", "*****", "11211", "12222", "99*88"};

TEST(EnhancedCodes, EveryCharacterAndTheRepeatToneInBothSets) {
  for (int mode : {core::kModeZvei, core::kModeDzvei}) {
    int shift = 0;
    for (const std::string& code : kCodes) {
      CallSignal call;
      call.code = code;
      call.modeIndex = mode;
      call.leadMs = 300.0 + 3.1 * shift;
      call.startPhase = 0.9 * shift++;
      EXPECT_EQ(DecodeEnhanced(MakeCall(call), mode), std::vector<std::string>{code})
          << ModeName(mode) << " " << code;
    }
  }
}

// DZVEI's repeat tone lies at 810 Hz, below its band: the code comes out
// with the character repeated, and the same tones read as ZVEI give nothing
// that is not in ZVEI.
TEST(EnhancedCodes, DzveiRepeatToneAt810Hz) {
  std::vector<double> samples;
  double phase = 0;
  testsupport::AppendTone(samples, 6000, 0, 0, 300, phase);
  for (double hz : {970.0, 810.0, 970.0, 810.0, 970.0}) {  // 1 R 1 R 1
    testsupport::AppendTone(samples, 6000, hz, 0.1, 70, phase);
  }
  testsupport::AppendTone(samples, 6000, 0, 0, 300, phase);
  EXPECT_EQ(DecodeEnhanced(samples, core::kModeDzvei), std::vector<std::string>{"11111"});
}

// DZVEI 12345 opens with 970 Hz, 8.5 % below ZVEI's lowest tone: read as
// ZVEI it is no call at all.
TEST(EnhancedCodes, ACallOfTheOtherToneSetIsNoCall) {
  CallSignal call;
  call.code = "12345";
  call.modeIndex = core::kModeDzvei;
  EXPECT_EQ(DecodeEnhanced(MakeCall(call), core::kModeZvei), std::vector<std::string>{});
}

// --- Calls next to other sounds -----------------------------------------------

std::vector<double> Concat(std::initializer_list<std::vector<double>> parts) {
  std::vector<double> out;
  for (const auto& part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

std::vector<double> Tone(double hz, double ms, double amplitude, double hz2 = 0.0,
                         double alternateMs = 0.0) {
  std::vector<double> out;
  double phase = 0;
  if (alternateMs <= 0.0) {
    testsupport::AppendTone(out, 6000, hz, amplitude, ms, phase);
    return out;
  }
  for (double t = 0; t < ms; t += alternateMs) {
    testsupport::AppendTone(out, 6000, static_cast<int>(t / alternateMs) % 2 == 0 ? hz : hz2,
                            amplitude, alternateMs, phase);
  }
  return out;
}

std::vector<double> Silence(double ms) {
  return Tone(0.0, ms, 0.0);
}

TEST(EnhancedNeighbours, ACallSentTwiceWith600MsPauseGivesTwoCodes) {
  for (int mode : {core::kModeZvei, core::kModeDzvei}) {
    for (double snr : {std::numeric_limits<double>::infinity(), 0.0}) {
      CallSignal call;
      call.code = "24680";
      call.modeIndex = mode;
      call.leadMs = 300;
      call.trailMs = 0;
      auto first = MakeCall(call);
      call.leadMs = 600;
      call.trailMs = 400;
      auto samples = Concat({first, MakeCall(call)});
      if (std::isfinite(snr)) {
        testsupport::AddNoise(samples,
                              testsupport::NoiseSigmaFor(testsupport::AmplitudeOf(-10), snr), 5);
      }
      EXPECT_EQ(DecodeEnhanced(samples, mode), (std::vector<std::string>{"24680", "24680"}))
          << ModeName(mode) << " at " << snr << " dB";
    }
  }
}

// A loud carrier or two-tone signal 100 ms or more after the call does not
// hide it; the same signal right behind the last tone makes the framing
// guard reject the call (a real call has tone-free time around it).
TEST(EnhancedNeighbours, ACallFollowedByALoudToneAfterAPause) {
  const double loud = testsupport::AmplitudeOf(-3);
  struct After {
    const char* what;
    std::vector<double> sound;
  };
  const std::vector<After> afters{{"steady 1000 Hz", Tone(1000, 2000, loud)},
                                  {"steady 1500 Hz", Tone(1500, 2000, loud)},
                                  {"two-tone 1200/1700 Hz", Tone(1200, 2000, loud, 1700, 100)}};
  for (int mode : {core::kModeZvei, core::kModeDzvei}) {
    for (const After& after : afters) {
      for (double pauseMs : {100.0, 150.0, 300.0}) {
        CallSignal call;
        call.code = "35791";
        call.modeIndex = mode;
        call.trailMs = pauseMs;
        const auto samples = Concat({MakeCall(call), after.sound, Silence(300)});
        EXPECT_EQ(DecodeEnhanced(samples, mode), std::vector<std::string>{"35791"})
            << ModeName(mode) << ", " << after.what << " after " << pauseMs << " ms";
      }
      CallSignal call;
      call.code = "35791";
      call.modeIndex = mode;
      call.trailMs = 0;
      std::vector<std::string> lines;
      const auto samples = Concat({MakeCall(call), after.sound, Silence(300)});
      EXPECT_EQ(DecodeEnhanced(samples, mode, &lines), std::vector<std::string>{})
          << ModeName(mode) << ", " << after.what << " right after the call";
    }
  }
}

// A melody note right before or after five notes on the set's tones, as
// loud as they are, makes them a melody, not a call; a note below the tone
// band a quarter as strong, or one between the set's tones half as strong
// (a voice or music the call is heard through), does not.
TEST(EnhancedNeighbours, ANoteBesideTheCallAsLoudAsItsTones) {
  const double level = testsupport::AmplitudeOf(-10);
  for (int mode : {core::kModeZvei, core::kModeDzvei}) {
    for (double hz : {450.0, 520.0, 640.0, 1750.0}) {
      for (bool before : {true, false}) {
        CallSignal call;
        call.code = "80264";
        call.modeIndex = mode;
        call.leadMs = before ? 0 : 300;
        call.trailMs = before ? 300 : 0;
        for (double amplitude : {level, hz < 700.0 ? level / 2 : level * 0.7}) {
          const auto note = Tone(hz, 120, amplitude);
          const auto samples = before ? Concat({Silence(200), note, MakeCall(call)})
                                      : Concat({MakeCall(call), note, Silence(300)});
          const auto expected =
              amplitude == level ? std::vector<std::string>{} : std::vector<std::string>{"80264"};
          EXPECT_EQ(DecodeEnhanced(samples, mode), expected)
              << ModeName(mode) << ", " << hz << " Hz " << (before ? "before" : "after")
              << ", amplitude " << amplitude;
        }
      }
    }
  }
}

// The call's own edge tone going on beside it at 0.72 of its amplitude (a
// note of the music the call is heard through) leaves the call standing:
// far weaker than the tone at the other edge, it cannot be the edge tone of
// the call read one tone off. As loud, the edge tone is three times too
// long: no call. Two tones taking turns (a wake signal going on) get no
// such allowance.
TEST(EnhancedNeighbours, TheEdgeToneGoingOnSofterBesideTheCall) {
  const double level = testsupport::AmplitudeOf(-10);
  for (const auto& [mode, before] : {std::pair{core::kModeZvei, true}, {core::kModeDzvei, false}}) {
    for (const std::string code : {"80264", before ? "80808" : "48484"}) {
      CallSignal call;
      call.code = code;
      call.modeIndex = mode;
      call.leadMs = before ? 0 : 300;
      call.trailMs = before ? 300 : 0;
      const core::ToneSet& set = *core::BuiltInToneSet(mode);
      const double hz = set.digitFreq[before ? 8 : 4];
      const bool trill = code[0] == code[2];
      for (double amplitude : {0.72 * level, level}) {
        const auto note = Tone(hz, 120, amplitude);
        const auto samples = before ? Concat({Silence(200), note, MakeCall(call)})
                                    : Concat({MakeCall(call), note, Silence(300)});
        EXPECT_EQ(DecodeEnhanced(samples, mode), amplitude < level && !trill
                                                     ? std::vector<std::string>{code}
                                                     : std::vector<std::string>{})
            << ModeName(mode) << ", " << code << ", amplitude " << amplitude;
      }
    }
  }
}

// A note louder than the tones, between two of the set's tones, held from
// the middle of the second tone to the middle of the fourth: music the call
// is heard through, not a second tone in a slot. The same note within the
// third tone alone shares its slot: no call. A note of the set as loud as
// the tones, held from a tone length before the call into most of its first
// tone, is no first tone of a call one tone early: that tone would give way
// to the next.
TEST(EnhancedNeighbours, ANoteHeldThroughPartOfTheCallIsWhatItIsHeardThrough) {
  for (const auto& [mode, noteHz] :
       {std::pair{core::kModeZvei, 1750.0}, {core::kModeCcir, 2300.0}}) {
    CallSignal call;
    call.code = "35791";
    call.modeIndex = mode;
    call.toneMs = core::BuiltInToneSet(mode)->toneMs;
    const auto mix = [&](double fromMs, double ms, double hz = 0.0, double share = 1.5) {
      auto out = MakeCall(call);
      const auto note =
          Tone(hz > 0.0 ? hz : noteHz, ms, share * testsupport::AmplitudeOf(call.levelDbfs));
      const auto at = static_cast<std::size_t>((call.leadMs + fromMs) * 6.0);
      for (std::size_t i = 0; i < note.size(); ++i) {
        out[at + i] += note[i];
      }
      return out;
    };
    EXPECT_EQ(DecodeEnhanced(mix(1.5 * call.toneMs, 2.0 * call.toneMs), mode),
              std::vector<std::string>{"35791"})
        << ModeName(mode);
    EXPECT_EQ(DecodeEnhanced(mix(2.0 * call.toneMs, call.toneMs), mode), std::vector<std::string>{})
        << ModeName(mode);
    const double setNote = core::BuiltInToneSet(mode)->digitFreq[2];
    EXPECT_EQ(DecodeEnhanced(mix(-call.toneMs, 1.8 * call.toneMs, setNote, 1.0), mode),
              std::vector<std::string>{"35791"})
        << ModeName(mode) << ", a note of the set held into the first tone";
  }
}

// --- Sounds that look like calls ------------------------------------------------

// A glide from digit 1 to just above digit 6 in about 320 ms, up or down (a
// siren, a slide in music), passes five of the set's tones for some 65 ms
// each: its pitch moves within every one. Through EEA's tones, a semitone
// apart, a glide of 125 ms passes five in 25 ms each, too short to hear it
// move within one. Five steady tones in the same order are a call.
TEST(EnhancedLookalikes, AGlideThroughFiveTonesIsNoCallTheSameStepsAre) {
  const double amplitude = testsupport::AmplitudeOf(-21);
  for (int mode : {core::kModeZvei, core::kModeDzvei, core::kModeEea}) {
    const core::ToneSet& set = *core::BuiltInToneSet(mode);
    const bool eea = mode == core::kModeEea;
    const double low = eea ? 0.985 * set.digitFreq[6] : set.digitFreq[1];
    const double high = eea ? 1.025 * set.digitFreq[0] : 1.027 * set.digitFreq[6];
    for (double ms : eea ? std::vector<double>{120.0, 125.0, 135.0}
                         : std::vector<double>{300.0, 310.0, 330.0}) {
      for (bool up : {true, false}) {
        const double from = up ? low : high;
        const double to = up ? high : low;
        std::vector<double> glide;
        double phase = 0.0;
        const auto samples = static_cast<int>(ms * 6);
        for (int i = 0; i < samples; ++i) {
          glide.push_back(amplitude * std::sin(phase));
          phase += 2.0 * std::numbers::pi * (from + (to - from) * i / samples) / 6000.0;
        }
        EXPECT_EQ(DecodeEnhanced(Concat({Silence(300), glide, Silence(400)}), mode),
                  std::vector<std::string>{})
            << ModeName(mode) << ", " << ms << " ms " << (up ? "up" : "down");
      }
    }
    CallSignal call;
    call.code = eea ? "67890" : "23456";
    call.modeIndex = mode;
    call.toneMs = set.toneMs;
    EXPECT_EQ(DecodeEnhanced(MakeCall(call), mode), std::vector<std::string>{call.code})
        << ModeName(mode);
  }
}

// An EIA call (33 ms tones) whose tones lie within 1 % of ZVEI's 3 % high is
// another set's call, not a ZVEI one; a ZVEI call 3 % high is ours.
TEST(EnhancedLookalikes, AnotherSetsCallNearOurTonesFarOffInPitchIsNoCall) {
  CallSignal eia;
  eia.code = "58697";  // ZVEI 3 6 4 7 5 at +3 %
  eia.modeIndex = core::kModeEia;
  eia.toneMs = core::BuiltInToneSet(core::kModeEia)->toneMs;
  EXPECT_EQ(DecodeEnhanced(MakeCall(eia), core::kModeZvei), std::vector<std::string>{});
  CallSignal zvei;
  zvei.code = "36475";
  zvei.offsetRelative = 0.03;
  EXPECT_EQ(DecodeEnhanced(MakeCall(zvei), core::kModeZvei), std::vector<std::string>{"36475"});
}

// Two tones of the set alternating (a wake signal) at tone lengths near the
// set's: a run of tones without a gap, never a call, whichever five of it
// are looked at.
TEST(EnhancedLookalikes, AlternatingTwoToneSignalsNearTheSetsToneLength) {
  const double amplitude = testsupport::AmplitudeOf(-10);
  for (double ms : {64.0, 74.0, 80.0, 83.0, 90.0}) {
    for (const auto& [a, b] : {std::pair{1060.0, 1400.0}, std::pair{2400.0, 1160.0}}) {
      const auto samples = Concat({Silence(300), Tone(a, 13 * ms, amplitude, b, ms), Silence(400)});
      EXPECT_EQ(DecodeEnhanced(samples, core::kModeZvei), std::vector<std::string>{})
          << a << "/" << b << " Hz, " << ms << " ms each";
    }
  }
}

// A phrase of five notes on the set's tones, loud and framed by silence:
// notes of a melody vary in length, the tones of one sender do not. With
// the inner notes 15 % or more apart it is no call (the tracker's frames
// alone cannot tell that); the same notes of one length are a call.
TEST(EnhancedLookalikes, FiveNotesOfUnevenLengthAreNoCall) {
  const core::ToneSet& set = *core::BuiltInToneSet(core::kModeZvei);
  const double amplitude = testsupport::AmplitudeOf(-16);
  const std::array<int, 5> digits{2, 7, 4, 9, 5};
  for (const auto& lengths :
       {std::array<double, 5>{70, 62, 76, 84, 70}, std::array<double, 5>{80, 80, 66, 76, 60},
        std::array<double, 5>{70, 70, 70, 70, 70}}) {
    std::vector<double> phrase = Silence(300);
    double phase = 0.0;
    for (std::size_t k = 0; k < digits.size(); ++k) {
      testsupport::AppendTone(phrase, 6000, set.digitFreq[static_cast<std::size_t>(digits[k])],
                              amplitude, lengths[k], phase);
    }
    const auto codes = DecodeEnhanced(Concat({phrase, Silence(400)}), core::kModeZvei);
    EXPECT_EQ(codes.empty(), lengths[1] != lengths[2])
        << lengths[1] << "/" << lengths[2] << "/" << lengths[3] << " ms inside";
  }
}

// Two tones taking turns, as faint as the weakest calls heard (a trill far
// in the background of music), need far more evidence than other codes; a
// code of one digit five times, sent with the repeat tone, does not.
TEST(EnhancedLookalikes, FaintTwoTonesTakingTurnsNeedMoreEvidence) {
  int trills = 0;
  int repeats = 0;
  for (int i = 0; i < 60; ++i) {
    CallSignal call;
    call.snrDb = -10.5;
    call.seed = 400 + static_cast<std::uint32_t>(i);
    call.code = i % 2 == 0 ? "14141" : "63636";
    trills += DecodeEnhanced(MakeCall(call), core::kModeZvei).empty() ? 0 : 1;
    call.code = i % 2 == 0 ? "11111" : "66666";
    repeats += DecodeEnhanced(MakeCall(call), core::kModeZvei).empty() ? 0 : 1;
  }
  EXPECT_LE(trills, 40);  // 50 with the gate of other codes
  EXPECT_GE(repeats, 50);
}

// --- Latency -----------------------------------------------------------------

// From the end of the last tone to the end of the buffer that carries the
// code, on the audio clock; the code must come within 300 ms.
TEST(EnhancedLatency, CodeWithin300MsOfTheLastToneOnTheAudioClock) {
  for (int mode : {core::kModeZvei, core::kModeDzvei}) {
    for (double snr : {20.0, 0.0, -6.0}) {
      double worstMs = 0.0;
      int calls = 0;
      std::uint32_t codeState = 31;
      for (int i = 0; i < 40; ++i) {
        CallSignal call;
        call.code = testsupport::RandomCode(codeState);
        call.modeIndex = mode;
        call.levelDbfs = -20;
        call.snrDb = snr;
        call.seed = 40U + static_cast<std::uint32_t>(i);
        call.leadMs = 300.0 + 1.3 * i;
        call.trailMs = 1000;
        const auto decoded =
            testsupport::DecodeMono6000With(DecoderChoice::kEnhanced, MakeCall(call), mode);
        if (decoded.size() != 1 || decoded[0].code != call.code) {
          continue;
        }
        ++calls;
        const double lastToneEndMs = call.leadMs + 5 * call.toneMs;
        const double reportMs = static_cast<double>((decoded[0].buffer + 1) * core::kBufferFrames) *
                                1000.0 / core::kCaptureRateHz;
        worstMs = std::max(worstMs, reportMs - lastToneEndMs);
      }
      EXPECT_GE(calls, 38) << ModeName(mode) << " at " << snr << " dB";
      EXPECT_LE(worstMs, 300.0) << ModeName(mode) << " at " << snr << " dB";
    }
  }
}

// --- Analysis log and tone-set switch ------------------------------------------

TEST(EnhancedAnalysisLog, OneLinePerCandidateWithTonesOffsetEvidenceAndVerdict) {
  CallSignal call;
  call.code = "12234";
  call.offsetRelative = 0.015;
  std::vector<std::string> lines;
  EXPECT_EQ(DecodeEnhanced(MakeCall(call), core::kModeZvei, &lines),
            std::vector<std::string>{"12234"});
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_NE(lines[0].find("tones 1 2 R 3 4"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("offset +1.50 %"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("evidence "), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("accepted 12234"), std::string::npos) << lines[0];

  // A call running straight into a loud tone: rejected, and the line says why.
  call.trailMs = 0;
  const auto samples = Concat({MakeCall(call), Tone(1800, 1000, 0.5), Silence(300)});
  lines.clear();
  EXPECT_TRUE(DecodeEnhanced(samples, core::kModeZvei, &lines).empty());
  ASSERT_FALSE(lines.empty());
  bool said = false;
  for (const auto& line : lines) {
    // The tracker sees the tone as a segment beside the call, or the
    // spectrum after the call shows it.
    said = said || line.find("after the call") != std::string::npos;
  }
  EXPECT_TRUE(said) << lines[0];
}

TEST(EnhancedAnalysisLog, SilentWhileOff) {
  class Lines final : public core::AnalysisLogWriter {
   public:
    void WriteAnalysisLine(std::string_view) override { ++count; }
    int count = 0;
  } lines;
  core::EnhancedDecoder decoder;
  decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
  decoder.SetSinks({nullptr, nullptr, &lines});
  const auto stereo = testsupport::ToCaptureStereo(MakeCall(CallSignal{}));
  for (std::size_t i = 0; i + core::kBufferSamples <= stereo.size(); i += core::kBufferSamples) {
    decoder.AnalyseBuffer(core::CaptureBuffer(stereo.data() + i, core::kBufferSamples));
  }
  EXPECT_EQ(lines.count, 0);
  EXPECT_EQ(decoder.CodesReported(), 1U);
}

TEST(EnhancedToneSet, SwitchedBetweenBuffersTakesEffectWithTheNextOne) {
  class Codes final : public core::CodeHandler {
   public:
    void HandleReceivedCode(std::string_view code) override { got.emplace_back(code); }
    std::vector<std::string> got;
  } codes;
  core::EnhancedDecoder decoder;
  decoder.SetSinks({nullptr, &codes, nullptr});
  const auto feed = [&](const std::vector<double>& samples) {
    auto stereo = testsupport::ToCaptureStereo(samples);
    stereo.resize(stereo.size() / core::kBufferSamples * core::kBufferSamples);
    for (std::size_t i = 0; i < stereo.size(); i += core::kBufferSamples) {
      decoder.AnalyseBuffer(core::CaptureBuffer(stereo.data() + i, core::kBufferSamples));
    }
  };
  CallSignal zvei;
  zvei.code = "13579";
  CallSignal dzvei = zvei;
  dzvei.modeIndex = core::kModeDzvei;
  dzvei.code = "24680";
  feed(MakeCall(zvei));  // no tone set yet: nothing
  EXPECT_TRUE(codes.got.empty());
  decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
  feed(MakeCall(zvei));
  decoder.SetToneSet(core::BuiltInToneSet(core::kModeDzvei));
  feed(MakeCall(dzvei));
  feed(MakeCall(zvei));  // a ZVEI call is not a DZVEI 13579
  EXPECT_EQ(codes.got[0], "13579");
  ASSERT_GE(codes.got.size(), 2U);
  EXPECT_EQ(codes.got[1], "24680");
  for (std::size_t i = 2; i < codes.got.size(); ++i) {
    EXPECT_NE(codes.got[i], "13579");
  }
}

// --- Sequences longer and shorter than five tones ----------------------------

// The called code, a separator tone and the caller's code, eleven tones back
// to back (a format of many club repeaters), in ZVEI1 and ZVEI2 at 0 dB, as
// sent and as recorded off the air (a receiver's 300-3000 Hz band, played 2 %
// fast or slow): decoded whole, and no five-tone window of them alone.
TEST(EnhancedSequences, CalledSeparatorCallerDecodedWhole) {
  for (const auto& [mode, separator] :
       {std::pair{core::kModeZvei, 'C'}, std::pair{core::kModeZvei2, 'E'}}) {
    for (const double speed : {0.0, -0.02, 0.02}) {
      CallBatch batch;
      batch.modeIndex = mode;
      batch.separator = separator;
      batch.snrDb = 0.0;
      batch.calls = 100;
      batch.speedRelative = speed;
      batch.radioBand = speed != 0.0;
      batch.seed = 1700 + static_cast<std::uint32_t>(mode) +
                   (speed > 0   ? 50U
                    : speed < 0 ? 60U
                                : 0U);
      const BatchScore score = ScoreCalls(DecoderChoice::kEnhanced, batch);
      const std::string what = ModeName(mode) + " at speed " + std::to_string(speed);
      EXPECT_GE(score.decoded, 99) << what;
      EXPECT_EQ(score.wrong, 0) << what;  // a five-tone window would count here
    }
  }
}

// Weak sequences whose separator the noise has taken: the caller's code
// after it must not come out alone, as a call to that code. (The called
// code alone is what the station needs to hear.)
TEST(EnhancedSequences, AFadedSeparatorLeavesNoCallToTheCaller) {
  CallBatch batch;
  batch.separator = 'C';
  batch.snrDb = -8.0;
  batch.calls = 200;
  batch.seed = 4242;
  std::uint32_t codeState = testsupport::BatchCodeState(batch);
  int whole = 0;
  for (int i = 0; i < batch.calls; ++i) {
    const CallSignal call = testsupport::BatchCall(batch, i, codeState);
    const std::string caller = call.code.substr(call.code.find('C') + 1);
    for (const std::string& code : CodesOf(testsupport::DecodeMono6000With(
             DecoderChoice::kEnhanced, MakeCall(call), batch.modeIndex))) {
      EXPECT_NE(code, caller) << "sent " << call.code;
      whole += code == call.code ? 1 : 0;
    }
  }
  EXPECT_GE(whole, 160);  // 174 today
}

// Runs of every length from 3 to 16 in a set of each tone length; 3 and 4
// only when asked for (a file decode), never as a station's call.
TEST(EnhancedSequences, RunsOfThreeToSixteenTones) {
  const std::string digits = "1357924680135792";
  for (const int mode : {core::kModeZvei, core::kModeCcir, core::kModeEia}) {
    const double toneMs = core::BuiltInToneSet(mode)->toneMs;
    for (std::size_t length = 3; length <= 16; ++length) {
      CallSignal call;
      call.modeIndex = mode;
      call.toneMs = toneMs;
      call.code = digits.substr(0, length);
      call.snrDb = 10.0;
      const std::vector<double> samples = MakeCall(call);
      EXPECT_EQ(CodesOf(testsupport::DecodeMono6000With(DecoderChoice::kEnhanced, samples, mode,
                                                        nullptr, true)),
                std::vector<std::string>{call.code})
          << ModeName(mode) << " " << length << " tones";
      if (length < 5) {
        EXPECT_TRUE(DecodeEnhanced(samples, mode).empty()) << "a station takes no " << length;
      }
    }
  }
}

}  // namespace
}  // namespace sequelo
