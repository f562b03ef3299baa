// False codes of the enhanced decoder: a day of white noise and a day of
// near-silence (half a day per tone set) without a single code, an hour of each kind of
// interference within its allowance, and calls decoded with interference
// running through them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "core/enhanced_decoder.h"
#include "tests/support/call_scoring.h"
#include "tests/support/interference.h"
#include "tests/support/signal_generator.h"

namespace sequelo {
namespace {

using core::DecoderChoice;
using testsupport::InterferenceKind;

std::string ModeName(int mode) {
  return std::string(core::kModeNames[static_cast<std::size_t>(mode)]);
}

// A day of each: twelve hours per tone set. AddressSanitizer slows the
// decoder several times over, so the sanitizer build checks one hour per
// tone set (the plain build runs the full day).
#if defined(__SANITIZE_ADDRESS__)
constexpr double kNoiseHours = 1.0;
#else
constexpr double kNoiseHours = 12.0;
#endif

class EnhancedQuiet : public ::testing::TestWithParam<int> {};

TEST_P(EnhancedQuiet, NoCodeInHalfADayOfWhiteNoisePerToneSet) {
  const int mode = GetParam();
  testsupport::FastGaussian noise(1000 + static_cast<std::uint64_t>(mode));
  const auto codes = testsupport::FeedAudio(DecoderChoice::kEnhanced, mode, kNoiseHours * 3600.0,
                                            [&](double* out, std::size_t n) {
                                              for (std::size_t i = 0; i < n; ++i) {
                                                out[i] = 0.1 * noise.Next();  // -20 dBFS
                                              }
                                            });
  EXPECT_EQ(codes, std::vector<std::string>{}) << ModeName(mode);
}

// Near-silence: a receiver's squelched output, a few LSB of noise with a
// small DC offset and now and then a click, rounded to 16 bits.
TEST_P(EnhancedQuiet, NoCodeInHalfADayOfNearSilencePerToneSet) {
  const int mode = GetParam();
  testsupport::FastGaussian noise(2000 + static_cast<std::uint64_t>(mode));
  std::uint64_t n = 0;
  const auto codes = testsupport::FeedAudio(
      DecoderChoice::kEnhanced, mode, kNoiseHours * 3600.0, [&](double* out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i, ++n) {
          const bool click = n % 60013 == 0;
          out[i] = (2.0 + 0.8 * noise.Next() + (click ? 3000.0 : 0.0)) / 32768.0;
        }
      });
  EXPECT_EQ(codes, std::vector<std::string>{}) << ModeName(mode);
}

INSTANTIATE_TEST_SUITE_P(ToneSets, EnhancedQuiet,
                         ::testing::Values(core::kModeZvei, core::kModeDzvei),
                         [](const auto& param) { return ModeName(param.param); });

struct InterferenceCase {
  InterferenceKind kind;
  int mode;
  std::size_t allowedPerHour;
};

class EnhancedInterference : public ::testing::TestWithParam<InterferenceCase> {};

// An hour of one kind of interference at about -20 dBFS.
TEST_P(EnhancedInterference, FalseCodesPerHourWithinAllowance) {
  const InterferenceCase& c = GetParam();
  testsupport::InterferenceStream stream(c.kind, 300 + static_cast<std::uint32_t>(c.mode));
  if (!stream.Ok()) {
    GTEST_SKIP() << "espeak-ng is not installed (Debian package espeak-ng)";
  }
  const auto codes =
      testsupport::FeedAudio(DecoderChoice::kEnhanced, c.mode, 3600.0,
                             [&](double* out, std::size_t n) { stream.Fill(out, n); });
  RecordProperty("falseCodes", static_cast<int>(codes.size()));
  EXPECT_LE(codes.size(), c.allowedPerHour)
      << InterferenceName(c.kind) << ", " << ModeName(c.mode) << ::testing::PrintToString(codes);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EnhancedInterference,
    ::testing::Values(InterferenceCase{InterferenceKind::kSpeech, core::kModeZvei, 1},
                      InterferenceCase{InterferenceKind::kSpeech, core::kModeDzvei, 1},
                      InterferenceCase{InterferenceKind::kMusic, core::kModeZvei, 1},
                      InterferenceCase{InterferenceKind::kMusic, core::kModeDzvei, 1},
                      InterferenceCase{InterferenceKind::kBand, core::kModeZvei, 1},
                      InterferenceCase{InterferenceKind::kBand, core::kModeDzvei, 1},
                      InterferenceCase{InterferenceKind::kFastMelody, core::kModeZvei, 3},
                      InterferenceCase{InterferenceKind::kFastMelody, core::kModeDzvei, 3},
                      InterferenceCase{InterferenceKind::kRadio, core::kModeZvei, 1},
                      InterferenceCase{InterferenceKind::kRadio, core::kModeDzvei, 1}),
    [](const auto& param) {
      std::string name(InterferenceName(param.param.kind));
      std::erase(name, ' ');
      return name + "_" + ModeName(param.param.mode);
    });

struct ThroughCase {
  InterferenceKind kind;
  int mode;
  double sirDb;     // tone power over interference power
  double minShare;  // of calls decoded
};

class EnhancedCallInInterference : public ::testing::TestWithParam<ThroughCase> {};

// Interference running through the whole call, faint noise besides.
TEST_P(EnhancedCallInInterference, DecodedAndNoWrongCode) {
  const ThroughCase& c = GetParam();
  if (c.kind == InterferenceKind::kSpeech && !testsupport::SpeechSynthesisAvailable()) {
    GTEST_SKIP() << "espeak-ng is not installed (Debian package espeak-ng)";
  }
  constexpr int kCalls = 100;
  testsupport::InterferenceStream stream(c.kind, 5000U + static_cast<std::uint32_t>(c.mode));
  int decoded = 0;
  int wrong = 0;
  std::uint32_t codeState = 77;
  for (int i = 0; i < kCalls; ++i) {
    testsupport::CallSignal call;
    call.code = testsupport::RandomCode(codeState);
    call.modeIndex = c.mode;
    call.levelDbfs = -20;
    call.snrDb = 30;
    call.seed = 900U + static_cast<std::uint32_t>(i);
    call.leadMs = 300.0 + 1.7 * (i % 11);
    call.trailMs = 300;
    auto samples = testsupport::MakeCall(call);
    // The interference covers the call and 100 ms on either side.
    const auto begin = static_cast<std::size_t>((call.leadMs - 100.0) * 6);
    const std::size_t length = static_cast<std::size_t>((5 * call.toneMs + 200.0) * 6);
    const auto interference = testsupport::BusyStretch(
        stream, length, testsupport::AmplitudeOf(-20), std::pow(10.0, -c.sirDb / 10));
    for (std::size_t n = 0; n < length && begin + n < samples.size(); ++n) {
      samples[begin + n] += interference[n];
    }
    bool found = false;
    for (const auto& code : testsupport::CodesOf(
             testsupport::DecodeMono6000With(DecoderChoice::kEnhanced, samples, c.mode))) {
      found = found || code == call.code;
      wrong += code == call.code ? 0 : 1;
    }
    decoded += found ? 1 : 0;
  }
  RecordProperty("decoded", decoded);
  RecordProperty("wrong", wrong);
  EXPECT_GE(decoded, static_cast<int>(c.minShare * kCalls))
      << InterferenceName(c.kind) << ", " << ModeName(c.mode) << " at " << c.sirDb << " dB";
  if (c.kind == InterferenceKind::kMusic || c.kind == InterferenceKind::kBand) {
    EXPECT_EQ(wrong, 0);
  }
}

// ZVEI calls at -20 dBFS with music running through them (the bench's batches).
testsupport::BatchScore CallsInMusic(std::uint32_t seed, double sirDb, int calls) {
  testsupport::CallBatch batch;
  batch.snrDb = 30.0;
  batch.interference = static_cast<int>(InterferenceKind::kMusic);
  batch.sirDb = sirDb;
  batch.calls = calls;
  batch.seed = seed;
  return testsupport::ScoreCalls(DecoderChoice::kEnhanced, batch);
}

// Music running through calls at +3 dB, on a stretch where a note of the
// set right before a call, as long and as loud as a tone, was once read by
// the tracker as the call's first tone (the last one dropped): the search
// finds that tone beside the call and holds the tracker's reading back.
TEST(EnhancedCallInMusic, ANoteOfTheSetBeforeTheCallIsNotItsFirstTone) {
  const testsupport::BatchScore score = CallsInMusic(7903, 3.0, 106);
  EXPECT_EQ(score.wrong, 0);
  EXPECT_GE(score.decoded, 85);
}

// Stretches of music where a call was read one tone off by the search: a
// note of the music covered the call's real edge tone, and a note of the
// set sounded on the other side (at +3 dB a note as long as a tone after
// the call, at 0 dB notes held across it). Both readings had a weaker tone
// of the set on each side.
TEST(EnhancedCallInMusic, ACallWithTonesOfTheSetOnBothSidesIsNotReadOneToneOff) {
  for (const auto& [seed, sirDb, calls] : {std::tuple{7303U, 3.0, 4}, {7700U, 0.0, 25}}) {
    EXPECT_EQ(CallsInMusic(seed, sirDb, calls).wrong, 0) << "seed " << seed;
  }
}

// Music at 0 dB, where notes of the set are held across the call's slots:
// a note in the slots on both sides of a slot, or in three slots in a row,
// or going on from an edge slot out of the call, is not read as its tone;
// a note longer than a tone right before the call is not its first tone.
// Each of these rules keeps two calls or more of the 124 that decode today.
// And where a chord held through a call covered a tone of it at the same
// pitch (ZVEI2, seed 8900), another note of the chord, showing little more
// over its own level there than a third one, is not the slot's tone.
TEST(EnhancedCallInMusic, NearlyTwoCallsInThreeAtZeroDb) {
  int decoded = 0;
  for (std::uint32_t seed : {9500U, 8100U}) {
    const testsupport::BatchScore score = CallsInMusic(seed, 0.0, 100);
    EXPECT_EQ(score.wrong, 0) << "seed " << seed;
    decoded += score.decoded;
  }
  EXPECT_GE(decoded, 123);
  const auto chord = testsupport::ThroughInterference(
      core::kModeZvei2, static_cast<int>(InterferenceKind::kMusic), 0.0, 3, 8900);
  EXPECT_EQ(testsupport::ScoreCalls(DecoderChoice::kEnhanced, chord).wrong, 0);
}

// Stretches of the other tone sets where a call came out wrong, each up to
// that call: a note of the music at a tone's frequency held beside the call
// or through it, sharing an edge tone (read a tone off by the search twice,
// or once with the other reading turned down for what the note makes, or by
// the tracker where the search heard nothing beside the call), and speech
// sounding a second tone of the set in a slot that the tracker took for the
// call's. The last three: strong calls of the tracker where the search had
// turned the same tones a slot apart down, or found no sure reading at all
// (a note or a voice over one tone, or beside the call). And a voice before
// a call joined to it as a sequence's called code by a tone that passed for
// a separator. And two strong calls of the tracker measured 1.18 x five
// tones, a voice beside each taken into an edge tone: the search found the
// last tone no surer than the voice's (EEA, speech at +3 dB), or read
// another first tone (EIA, speech at +3 dB). And a note held through an EIA
// call, just under the call's tones, going on before it as strong as the
// reading's first tone: the note read as that tone, the call's last one
// covered (band music at 0 dB).
TEST(EnhancedCallInInterference, OtherSetsHeldNotesAndSecondTonesGiveNoWrongCode) {
  const std::tuple<InterferenceKind, int, double, std::uint32_t, int> cases[] = {
      {InterferenceKind::kBand, core::kModeZvei2, 6.0, 9500, 60},
      {InterferenceKind::kMusic, core::kModeEea, 3.0, 9500, 67},
      {InterferenceKind::kBand, core::kModeEea, 3.0, 9500, 54},
      {InterferenceKind::kMusic, core::kModePzvei, 3.0, 9500, 81},
      {InterferenceKind::kSpeech, core::kModeZvei3, 0.0, 9500, 43},
      {InterferenceKind::kSpeech, core::kModeEia, 0.0, 9500, 38},
      {InterferenceKind::kBand, core::kModeZvei2, 3.0, 8100, 28},
      {InterferenceKind::kMusic, core::kModeDzvei, 3.0, 8300, 9},
      {InterferenceKind::kMusic, core::kModeDzvei, 3.0, 8500, 89},
      {InterferenceKind::kSpeech, core::kModeEia, 0.0, 8100, 62},
      {InterferenceKind::kBand, core::kModeZvei3, 3.0, 8900, 22},
      {InterferenceKind::kMusic, core::kModeCcir, 3.0, 8500, 76},
      {InterferenceKind::kMusic, core::kModeCcir, 0.0, 8500, 16},
      {InterferenceKind::kSpeech, core::kModeEia, 0.0, 8700, 38},
      {InterferenceKind::kSpeech, core::kModeEea, 0.0, 8700, 93},
      {InterferenceKind::kSpeech, core::kModeEea, 3.0, 8500, 7},
      {InterferenceKind::kSpeech, core::kModeEia, 3.0, 8700, 79},
      {InterferenceKind::kBand, core::kModeEia, 0.0, 8300, 82}};
  int decoded = 0;
  for (const auto& [kind, mode, sirDb, seeds, calls] : cases) {
    const testsupport::CallBatch batch =
        testsupport::ThroughInterference(mode, static_cast<int>(kind), sirDb, calls, seeds);
    const testsupport::BatchScore score = testsupport::ScoreCalls(DecoderChoice::kEnhanced, batch);
    EXPECT_EQ(score.wrong, 0) << InterferenceName(kind) << " " << ModeName(mode) << " " << sirDb
                              << " dB, seed " << batch.seed;
    decoded += score.decoded;
  }
  // Not by turning everything down: of the 944 calls, 744 decode today.
  EXPECT_GE(decoded, 725);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EnhancedCallInInterference,
    ::testing::Values(ThroughCase{InterferenceKind::kSpeech, core::kModeZvei, 6.0, 0.95},
                      ThroughCase{InterferenceKind::kSpeech, core::kModeDzvei, 6.0, 0.90},
                      ThroughCase{InterferenceKind::kMusic, core::kModeZvei, 6.0, 0.95},
                      ThroughCase{InterferenceKind::kMusic, core::kModeDzvei, 6.0, 0.90},
                      ThroughCase{InterferenceKind::kMusic, core::kModeZvei, 3.0, 0.85},
                      ThroughCase{InterferenceKind::kMusic, core::kModeZvei, 0.0, 0.65},
                      ThroughCase{InterferenceKind::kMusic, core::kModeDzvei, 0.0, 0.65},
                      ThroughCase{InterferenceKind::kBand, core::kModeZvei, 3.0, 0.85},
                      ThroughCase{InterferenceKind::kBand, core::kModeDzvei, 0.0, 0.45}),
    [](const auto& param) {
      std::string name(InterferenceName(param.param.kind));
      std::erase(name, ' ');
      return name + "_" + ModeName(param.param.mode) + "_" +
             std::to_string(static_cast<int>(param.param.sirDb)) + "dB";
    });

}  // namespace
}  // namespace sequelo
