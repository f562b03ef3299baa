#include "app/file_decode.h"

#include "audio/capture_buffer_feed.h"
#include "core/selectable_decoder.h"

namespace sequelo::app {
namespace {

constexpr std::uint64_t kBufferMsNumerator = core::kBufferFrames * 1000;  // per 6000

// Adapts the decoder's sinks to the listener, stamping the current buffer's time.
// Quiet after the input: longer than the enhanced decoder takes to decide
// on a call after its last tone (its framing guard's look after the call
// included).
constexpr std::uint64_t kQuietTailMs = 600;

class Stamper final : public core::CodeHandler, public core::AnalysisLogWriter {
 public:
  explicit Stamper(DecodeListener& listener) : listener_(listener) {}
  void SetBuffer(std::uint64_t index) { endMs_ = BufferEndMs(index); }
  void HandleReceivedCode(std::string_view code) override {
    ++codes_;
    listener_.OnCode(endMs_, code);
  }
  void WriteAnalysisLine(std::string_view line) override { listener_.OnAnalysisLine(endMs_, line); }
  std::uint64_t Codes() const { return codes_; }

 private:
  DecodeListener& listener_;
  std::uint64_t endMs_ = 0;
  std::uint64_t codes_ = 0;
};

}  // namespace

std::uint32_t BufferTickMs(std::uint64_t index) {
  return static_cast<std::uint32_t>(index * kBufferMsNumerator / core::kCaptureRateHz);
}

std::uint64_t BufferEndMs(std::uint64_t index) {
  return (index + 1) * kBufferMsNumerator / core::kCaptureRateHz;
}

DecodeResult DecodeFrames(audio::FrameSource& source, const DecodeOptions& options,
                          DecodeListener& listener) {
  DecodeResult result;
  audio::CaptureBufferFeed feed(source, options.channel);
  if (!feed.SetupError().empty()) {
    result.ok = false;
    result.error = feed.SetupError();
    return result;
  }
  core::ManualTickClock clock;
  core::SelectableDecoder decoder(clock, options.threshold);
  decoder.SetToneSet(core::BuiltInToneSet(options.modeIndex));
  decoder.SetAnalysisLog(options.analysisLog);
  decoder.SetChoice(options.decoder);
  decoder.SetRunBoth(false);             // one decoder for the whole file
  decoder.Enhanced().SetEveryRun(true);  // a file decode shows every framed run of 3..16
  Stamper stamper(listener);
  decoder.SetSinks({nullptr, &stamper, &stamper});

  audio::CaptureFrames buffer{};
  while (feed.Next(buffer)) {
    clock.Set(BufferTickMs(result.buffers));
    stamper.SetBuffer(result.buffers);
    decoder.AnalyseBuffer(buffer);
    ++result.buffers;
  }
  // The end of the input counts as quiet: the enhanced decoder, which waits
  // for quiet after a call, decides on one that ended with the input as if
  // silence followed. What it reports then is stamped at the input's end.
  // (The standard decoder decides on the tones alone and needs no tail.)
  if (feed.Error().empty() && result.buffers > 0 &&
      decoder.EffectiveChoice() == core::DecoderChoice::kEnhanced) {
    buffer.fill(0);
    const std::uint64_t tail = kQuietTailMs * core::kCaptureRateHz / kBufferMsNumerator + 1;
    for (std::uint64_t i = 0; i < tail; ++i) {
      clock.Set(BufferTickMs(result.buffers + i));
      decoder.AnalyseBuffer(buffer);
    }
  }
  result.codes = stamper.Codes();
  if (!feed.Error().empty()) {
    result.ok = false;
    result.error = "read error: " + feed.Error();
  }
  return result;
}

}  // namespace sequelo::app
