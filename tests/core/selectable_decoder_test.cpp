// The decoder choice: both decoders see every buffer, the spectrum always
// comes from the standard one, and codes and analysis lines come only from
// the chosen one, switched with the next buffer.
#include "core/selectable_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/signal_generator.h"

namespace sequelo {
namespace {

using core::DecoderChoice;

class Sinks final : public core::SpectrumObserver,
                    public core::CodeHandler,
                    public core::AnalysisLogWriter {
 public:
  void OnSpectrum(const core::Spectrum&) override { ++spectra; }
  void HandleReceivedCode(std::string_view code) override { codes.emplace_back(code); }
  void WriteAnalysisLine(std::string_view line) override { lines.emplace_back(line); }
  int spectra = 0;
  std::vector<std::string> codes;
  std::vector<std::string> lines;
};

// Buffers of a clean call that both decoders decode.
std::vector<std::int16_t> CallAudio(const std::string& code) {
  testsupport::CallSignal call;
  call.code = code;
  call.levelDbfs = -10;
  call.trailMs = 600;
  auto stereo = testsupport::ToCaptureStereo(testsupport::MakeCall(call));
  stereo.resize(stereo.size() / core::kBufferSamples * core::kBufferSamples);
  return stereo;
}

struct Station {
  core::ManualTickClock clock;
  core::SelectableDecoder decoder{clock};
  Sinks sinks;
  std::uint64_t buffer = 0;
  Station() {
    decoder.SetSinks({&sinks, &sinks, &sinks});
    decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
  }
  // Feeds whole buffers of `audio` on the audio clock.
  void Feed(const std::vector<std::int16_t>& audio) {
    for (std::size_t i = 0; i < audio.size(); i += core::kBufferSamples) {
      clock.Set(
          static_cast<std::uint32_t>(buffer++ * core::kBufferFrames * 1000 / core::kCaptureRateHz));
      decoder.AnalyseBuffer(core::CaptureBuffer(audio.data() + i, core::kBufferSamples));
    }
  }
};

TEST(DecoderChoiceNames, NamesAndSettingValues) {
  EXPECT_EQ(core::DecoderChoiceFromName("standard"), DecoderChoice::kStandard);
  EXPECT_EQ(core::DecoderChoiceFromName("Enhanced"), DecoderChoice::kEnhanced);
  EXPECT_EQ(core::DecoderChoiceFromName("enhance"), std::nullopt);
  EXPECT_EQ(core::DecoderChoiceFromName(""), std::nullopt);
  EXPECT_EQ(core::DecoderChoiceFromValue(0), DecoderChoice::kStandard);
  EXPECT_EQ(core::DecoderChoiceFromValue(1), DecoderChoice::kEnhanced);
  EXPECT_EQ(core::DecoderChoiceFromValue(2), std::nullopt);
  EXPECT_EQ(core::DecoderChoiceFromValue(-1), std::nullopt);
  EXPECT_EQ(core::DecoderChoiceName(DecoderChoice::kStandard), "standard");
  EXPECT_EQ(core::DecoderChoiceName(DecoderChoice::kEnhanced), "enhanced");
}

TEST(SelectableDecoder, StandardByDefaultWithItsLinesOnly) {
  Station run;
  EXPECT_EQ(run.decoder.Choice(), DecoderChoice::kStandard);
  run.decoder.SetAnalysisLog(true);
  const auto audio = CallAudio("12345");
  run.Feed(audio);
  EXPECT_EQ(run.sinks.codes, std::vector<std::string>{"12345"});
  EXPECT_EQ(run.sinks.spectra, static_cast<int>(audio.size() / core::kBufferSamples));
  ASSERT_FALSE(run.sinks.lines.empty());
  for (const auto& line : run.sinks.lines) {
    EXPECT_EQ(line.find("Enhanced candidate"), std::string::npos) << line;
  }
  // The enhanced decoder ran too, unheard.
  EXPECT_EQ(run.decoder.Enhanced().CodesReported(), 1U);
}

TEST(SelectableDecoder, EnhancedChosenReportsItsCodeAndLinesOnly) {
  Station run;
  run.decoder.SetChoice(DecoderChoice::kEnhanced);
  run.decoder.SetAnalysisLog(true);
  const auto audio = CallAudio("67890");
  run.Feed(audio);
  EXPECT_EQ(run.sinks.codes, std::vector<std::string>{"67890"});
  EXPECT_EQ(run.sinks.spectra, static_cast<int>(audio.size() / core::kBufferSamples));
  ASSERT_EQ(run.sinks.lines.size(), 1U);
  EXPECT_NE(run.sinks.lines[0].find("accepted 67890"), std::string::npos);
  EXPECT_EQ(run.decoder.Standard().Detector().StoredCount(), 0);  // it completed its code too
}

TEST(SelectableDecoder, WithoutRunningBothOnlyTheChosenOneWorks) {
  for (const DecoderChoice choice : {DecoderChoice::kStandard, DecoderChoice::kEnhanced}) {
    core::ManualTickClock clock;
    core::SelectableDecoder decoder(clock);
    Sinks sinks;
    decoder.SetSinks({nullptr, &sinks, nullptr});  // no spectrum: a file decode
    decoder.SetToneSet(core::BuiltInToneSet(core::kModeZvei));
    decoder.SetChoice(choice);
    decoder.SetRunBoth(false);
    const auto audio = CallAudio("24680");
    for (std::size_t i = 0; i < audio.size(); i += core::kBufferSamples) {
      clock.Set(static_cast<std::uint32_t>(i / 2 * 1000 / core::kCaptureRateHz));
      decoder.AnalyseBuffer(core::CaptureBuffer(audio.data() + i, core::kBufferSamples));
    }
    EXPECT_EQ(sinks.codes, std::vector<std::string>{"24680"});
    const bool enhanced = choice == DecoderChoice::kEnhanced;
    EXPECT_EQ(decoder.Enhanced().SamplesAnalysed() > 0, enhanced) << "the other one rests";
  }
  // A spectrum observer keeps the standard decoder running for it.
  Station run;
  run.decoder.SetChoice(DecoderChoice::kEnhanced);
  run.decoder.SetRunBoth(false);
  run.Feed(CallAudio("13579"));
  EXPECT_GT(run.sinks.spectra, 0);
  EXPECT_EQ(run.sinks.codes, std::vector<std::string>{"13579"});
}

TEST(SelectableDecoder, AnalysisLogOffMeansNoLinesFromEither) {
  Station run;
  for (auto choice : {DecoderChoice::kStandard, DecoderChoice::kEnhanced}) {
    run.decoder.SetChoice(choice);
    run.Feed(CallAudio("13579"));
  }
  EXPECT_FALSE(run.decoder.AnalysisLogOn());
  EXPECT_TRUE(run.sinks.lines.empty());
  EXPECT_EQ(run.sinks.codes, (std::vector<std::string>{"13579", "13579"}));
}

// The standard decoder reports within the buffer of the fifth tone, the
// enhanced one some buffers later: a switch between the two moments hands
// the call to whichever decoder is chosen when its code comes.
TEST(SelectableDecoder, SwitchTakesEffectWithTheNextBuffer) {
  const auto audio = CallAudio("24680");
  const std::size_t buffers = audio.size() / core::kBufferSamples;
  // Find the buffers in which each decoder reports.
  std::size_t standardAt = 0;
  std::size_t enhancedAt = 0;
  {
    Station probe;
    for (std::size_t b = 0; b < buffers; ++b) {
      const auto before = probe.decoder.Enhanced().CodesReported();
      const auto stored = probe.sinks.codes.size();
      probe.Feed(std::vector<std::int16_t>(
          audio.begin() + static_cast<std::ptrdiff_t>(b * core::kBufferSamples),
          audio.begin() + static_cast<std::ptrdiff_t>((b + 1) * core::kBufferSamples)));
      if (probe.sinks.codes.size() > stored) {
        standardAt = b;
      }
      if (probe.decoder.Enhanced().CodesReported() > before) {
        enhancedAt = b;
      }
    }
  }
  ASSERT_GT(enhancedAt, standardAt);

  for (auto [first, second] : {std::pair{DecoderChoice::kStandard, DecoderChoice::kEnhanced},
                               std::pair{DecoderChoice::kEnhanced, DecoderChoice::kStandard}}) {
    Station run;
    run.decoder.SetChoice(first);
    for (std::size_t b = 0; b < buffers; ++b) {
      if (b == standardAt + 1) {
        run.decoder.SetChoice(second);  // between the two reports
      }
      run.Feed(std::vector<std::int16_t>(
          audio.begin() + static_cast<std::ptrdiff_t>(b * core::kBufferSamples),
          audio.begin() + static_cast<std::ptrdiff_t>((b + 1) * core::kBufferSamples)));
    }
    // Standard first: it reported, then the enhanced one (chosen by then)
    // reported too. Enhanced first: neither report is heard.
    EXPECT_EQ(run.sinks.codes.size(), first == DecoderChoice::kStandard ? 2U : 0U)
        << core::DecoderChoiceName(first) << " then " << core::DecoderChoiceName(second);
    EXPECT_EQ(run.sinks.spectra, static_cast<int>(buffers));
  }
}

TEST(SelectableDecoder, ToneSetGoesToBoth) {
  Station run;
  run.decoder.SetToneSet(core::BuiltInToneSet(core::kModeDzvei));
  EXPECT_EQ(run.decoder.CurrentToneSet(), core::BuiltInToneSet(core::kModeDzvei));
  EXPECT_EQ(run.decoder.Enhanced().CurrentToneSet(), core::BuiltInToneSet(core::kModeDzvei));
  EXPECT_EQ(run.decoder.Standard().CurrentToneSet(), core::BuiltInToneSet(core::kModeDzvei));
}

}  // namespace
}  // namespace sequelo
