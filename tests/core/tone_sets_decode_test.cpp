// Every tone set on the enhanced decoder, each at its own tone length: calls
// at 0 dB SNR within +/-2 % offset, no wrong code at +/-3 %, and through a
// receiver's band at +/-2 % speed; and calls of one
// set heard in another set's mode, where a code may come out only if the
// call's tones spell it there. Random codes and noise from fixed seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/enhanced_decoder.h"
#include "tests/support/call_scoring.h"
#include "tests/support/signal_generator.h"

namespace sequelo {
namespace {

using core::DecoderChoice;
using core::ToneSet;
using testsupport::CallBatch;
using testsupport::CallSignal;

// Calls per offset: enough that 99 % means something (one miss in 50 would
// already fail it), in every build. AddressSanitizer slows the decoder
// several times over: it runs fewer calls per pair of sets.
constexpr int kCallsPerOffset = 200;
#if defined(__SANITIZE_ADDRESS__)
constexpr int kCallsPerPair = 20;
#else
constexpr int kCallsPerPair = 60;
#endif

constexpr int kSets = static_cast<int>(core::kModeNames.size());

std::string ModeName(int mode) {
  return std::string(core::kModeNames[static_cast<std::size_t>(mode)]);
}

const ToneSet& SetOf(int mode) {
  return *core::BuiltInToneSet(mode);
}

std::string NameOf(const ::testing::TestParamInfo<int>& info) {
  return ModeName(info.param);
}

// --- Each set in its own mode ------------------------------------------------

class ToneSetCalls : public ::testing::TestWithParam<int> {};

TEST_P(ToneSetCalls, DecodedAtZeroDbWithinTwoPercentNoWrongCodeAtThree) {
  const int mode = GetParam();
  for (double percent : {-3.0, -2.0, 0.0, 2.0, 3.0}) {
    const bool edge = percent * percent > 6.25;
    CallBatch batch;
    batch.modeIndex = mode;
    batch.snrDb = 0.0;
    batch.toneMs = SetOf(mode).toneMs;
    batch.offsetRelative = percent / 100.0;
    batch.calls = edge ? kCallsPerOffset / 2 : kCallsPerOffset;
    batch.seed =
        3100 + 10U * static_cast<std::uint32_t>(mode) + static_cast<std::uint32_t>(percent + 3.0);
    const auto score = testsupport::ScoreCalls(DecoderChoice::kEnhanced, batch);
    const std::string what =
        ModeName(mode) + " at " + std::to_string(static_cast<int>(percent)) + " %";
    if (!edge) {
      EXPECT_GE(score.decoded * 100, score.calls * 99)
          << what << ": " << score.decoded << " of " << score.calls;
    }
    EXPECT_EQ(score.wrong, 0) << what;
  }
}

// Off the air: a receiver's 300-3000 Hz audio band and a recording played
// 2 % fast or slow (every tone higher and shorter, or lower and longer).
TEST_P(ToneSetCalls, ThroughAReceiversBandAtTwoPercentSpeed) {
  const int mode = GetParam();
  for (double percent : {-2.0, 2.0}) {
    CallBatch batch;
    batch.modeIndex = mode;
    batch.snrDb = 0.0;
    batch.toneMs = SetOf(mode).toneMs;
    batch.speedRelative = percent / 100.0;
    batch.radioBand = true;
    batch.calls = kCallsPerOffset / 2;
    batch.seed = 3300 + 10U * static_cast<std::uint32_t>(mode) + (percent > 0 ? 1U : 0U);
    const auto score = testsupport::ScoreCalls(DecoderChoice::kEnhanced, batch);
    const std::string what =
        ModeName(mode) + " at " + std::to_string(static_cast<int>(percent)) + " % speed";
    EXPECT_GE(score.decoded * 100, score.calls * 99)
        << what << ": " << score.decoded << " of " << score.calls;
    EXPECT_EQ(score.wrong, 0) << what;
  }
}

INSTANTIATE_TEST_SUITE_P(AllSets, ToneSetCalls, ::testing::Range(0, kSets), NameOf);

// --- Calls of one set in another set's mode ----------------------------------

// The sixteen tones of a set as the decoder reads them: '0'..'9', '*', the
// repeat tone 'R', and the special tones (never in a call).
struct SetTone {
  double hz;
  char meaning;
  bool special;
};

std::vector<SetTone> TonesOf(const ToneSet& set) {
  std::vector<SetTone> tones;
  for (std::size_t d = 0; d < 10; ++d) {
    tones.push_back({static_cast<double>(set.digitFreq[d]), static_cast<char>('0' + d), false});
  }
  tones.push_back({static_cast<double>(set.starFreq), '*', false});
  tones.push_back({static_cast<double>(set.repeatFreq), 'R', false});
  for (std::size_t i = 0; i < set.specialFreq.size(); ++i) {
    if (set.specialFreq[i] > 0) {
      tones.push_back({static_cast<double>(set.specialFreq[i]), set.specialLetter[i], true});
    }
  }
  return tones;
}

std::vector<double> CallHz(const ToneSet& set, const std::string& code) {
  std::array<std::int32_t, 5> tones{};
  const int count = core::CallTones(set, code, tones);
  return {tones.begin(), tones.begin() + count};
}

// What the call's tones spell in `set` when each is one of its tones (within
// 0.5 %): the code, or "" when they make no call (a special tone, the repeat
// tone first or twice running, two equal tones in a row). Nothing when a tone
// is none of the set's tones.
std::optional<std::string> Spelled(const std::vector<double>& hz, const ToneSet& set) {
  const auto tones = TonesOf(set);
  std::string code;
  char last = '\0';
  for (double f : hz) {
    const auto tone = std::find_if(tones.begin(), tones.end(), [f](const SetTone& t) {
      return std::abs(f / t.hz - 1) < 0.005;
    });
    if (tone == tones.end()) {
      return std::nullopt;
    }
    if (tone->special || tone->meaning == last || (tone->meaning == 'R' && code.empty())) {
      return std::string();
    }
    code.push_back(tone->meaning == 'R' ? code.back() : tone->meaning);
    last = tone->meaning;
  }
  return code;
}

// True if the tones that send `code` in `set`, moved by one common offset
// within +/-3 %, each lie within 3 % of the call's tones (the decoder reads
// each tone at the call's offset or a step beside it, through a window
// about 4 % wide at 1 kHz).
bool Fits(const std::vector<double>& hz, const ToneSet& set, const std::string& code) {
  const auto tones = CallHz(set, code);
  if (tones.size() != hz.size()) {
    return false;
  }
  double low = 0.97;
  double high = 1.03;
  for (std::size_t i = 0; i < hz.size(); ++i) {
    low = std::max(low, hz[i] / (1.03 * tones[i]));
    high = std::min(high, hz[i] / (0.97 * tones[i]));
  }
  return low <= high;
}

// The characters of `sent` whose tone lies within 5 % (3 % offset and 2 %)
// of a tone of `heard`: the calls most likely to pass for a code there.
std::string CharactersNear(const ToneSet& sent, const ToneSet& heard) {
  std::string near;
  for (char c : std::string_view("0123456789*")) {
    const double hz = *core::ToneFrequency(sent, c);
    const auto tones = TonesOf(heard);
    if (std::any_of(tones.begin(), tones.end(),
                    [hz](const SetTone& t) { return std::abs(hz / t.hz - 1) <= 0.05; })) {
      near.push_back(c);
    }
  }
  return near;
}

std::vector<std::string> DecodeIn(const std::vector<double>& samples, int mode) {
  class Codes final : public core::CodeHandler {
   public:
    void HandleReceivedCode(std::string_view code) override { got.emplace_back(code); }
    std::vector<std::string> got;
  } codes;
  core::EnhancedDecoder decoder;
  decoder.SetSinks({nullptr, &codes, nullptr});
  decoder.SetToneSet(core::BuiltInToneSet(mode));
  auto stereo = testsupport::ToCaptureStereo(samples);
  stereo.resize(
      (stereo.size() + core::kBufferSamples - 1) / core::kBufferSamples * core::kBufferSamples, 0);
  for (std::size_t i = 0; i < stereo.size(); i += core::kBufferSamples) {
    decoder.AnalyseBuffer(core::CaptureBuffer(stereo.data() + i, core::kBufferSamples));
  }
  return codes.got;
}

class ToneSetCrossed : public ::testing::TestWithParam<int> {};

// Calls of every other set at 20 dB, each at its sender's tone length, heard
// in this set's mode: every other one a random code, the rest made of the
// characters near this set's tones. Tones that are this set's spell the code
// that must come out (nothing for a special tone); any code must fit.
TEST_P(ToneSetCrossed, ACodeComesOutOnlyWhereTheTonesSpellIt) {
  const int mode = GetParam();
  const ToneSet& heard = SetOf(mode);
  int spelled = 0;
  int spelledDecoded = 0;
  for (int sender = 0; sender < kSets; ++sender) {
    if (sender == mode) {
      continue;
    }
    const ToneSet& sent = SetOf(sender);
    const std::string near = CharactersNear(sent, heard);
    std::uint32_t codeState = 4200U + 16U * static_cast<std::uint32_t>(sender + kSets * mode);
    for (int i = 0; i < kCallsPerPair; ++i) {
      CallSignal call;
      call.code = testsupport::RandomCode(codeState);
      if (i % 2 == 1) {
        for (char& c : call.code) {
          codeState = codeState * 1664525U + 1013904223U;
          c = near[(codeState >> 16) % near.size()];
        }
      }
      call.modeIndex = sender;
      call.toneMs = sent.toneMs;
      call.levelDbfs = -20.0;
      call.snrDb = 20.0;
      call.seed = codeState;
      call.leadMs = 250.0 + (i % 13) * 1.7;
      call.trailMs = 400.0;  // the code comes within 300 ms of the last tone
      call.startPhase = 0.37 * i;
      const auto hz = CallHz(sent, call.code);
      const auto reading = Spelled(hz, heard);
      const auto codes = DecodeIn(testsupport::MakeCall(call), mode);
      const std::string what = ModeName(sender) + " " + call.code + " in " + ModeName(mode);
      for (const auto& code : codes) {
        EXPECT_TRUE(Fits(hz, heard, code))
            << what << " gave " << code << ": not spelled by its tones within 3 %";
        if (reading) {
          EXPECT_EQ(code, *reading) << what;
        }
      }
      if (reading && !reading->empty()) {
        ++spelled;
        spelledDecoded += codes == std::vector<std::string>{*reading} ? 1 : 0;
      }
    }
  }
  EXPECT_GE(spelledDecoded * 50, spelled * 49)
      << ModeName(mode) << ": " << spelledDecoded << " of " << spelled << " spelled calls";
}

INSTANTIATE_TEST_SUITE_P(AllSets, ToneSetCrossed, ::testing::Range(0, kSets), NameOf);

}  // namespace
}  // namespace sequelo
