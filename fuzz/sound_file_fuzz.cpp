// The command line's file decoding: the input is written to a file, opened
// as `sequelo-cli decode` opens one (libsndfile, any format it knows) and
// decoded through our own reading, resampling and capture-buffer code into
// the decoder. Only as many frames as make kMaxFrames at the decoder's rate
// are decoded, to keep a run short; the decoder choice and the channel are
// taken from the input's size.
//
// libsndfile itself is not instrumented: the coverage that guides the fuzzer
// is ours. Checked: a source reads no more frames than asked; a decode that
// ends without an error analysed as many buffers as the frames make at
// 6000 Hz (one more where the two resampling steps round up).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "app/file_decode.h"
#include "audio/frame_source.h"
#include "audio/sound_file_source.h"
#include "core/buffer_analysis.h"
#include "fuzz/fuzz_check.h"

namespace {

namespace audio = sequelo::audio;
namespace app = sequelo::app;

constexpr long kMaxFrames = 16384;

// Passes on at most the frames that make kMaxFrames frames at the capture
// rate (a file at 1 Hz would otherwise make 6000 for each of its frames), and
// never more than kMaxFrames; counts them.
class CappedSource final : public audio::FrameSource {
 public:
  explicit CappedSource(audio::FrameSource& inner)
      : inner_(inner),
        limit_(static_cast<long>(
            std::clamp(std::ceil(static_cast<double>(kMaxFrames) * inner.SampleRateHz() /
                                 static_cast<double>(sequelo::core::kCaptureRateHz)),
                       1.0, static_cast<double>(kMaxFrames)))) {}
  int Channels() const override { return inner_.Channels(); }
  double SampleRateHz() const override { return inner_.SampleRateHz(); }
  long Read(float* out, long frames) override {
    const long asked = std::min(frames, limit_ - frames_);
    if (asked <= 0) {
      return 0;
    }
    const long got = inner_.Read(out, asked);
    FUZZ_CHECK(got >= -1 && got <= asked);
    if (got > 0) {
      frames_ += got;
    }
    return got;
  }
  std::string Error() const override { return inner_.Error(); }
  long Frames() const { return frames_; }

 private:
  audio::FrameSource& inner_;
  long limit_;
  long frames_ = 0;
};

class Listener final : public app::DecodeListener {
 public:
  void OnCode(std::uint64_t, std::string_view code) override { FUZZ_CHECK(code.size() == 5); }
  void OnAnalysisLine(std::uint64_t, std::string_view) override {}
};

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) {
  return (a + b - 1) / b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static sequelo::fuzz::ScratchFile file("sequelo-sound-fuzz");
  const std::string& path = file.Write(data, size);

  std::string error;
  const std::unique_ptr<audio::FrameSource> source = audio::OpenSoundFile(path, error);
  if (!source) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(source->Channels() >= 1 && source->SampleRateHz() >= 1);

  CappedSource capped(*source);
  app::DecodeOptions options;
  options.decoder = (size & 1) != 0 ? sequelo::core::DecoderChoice::kEnhanced
                                    : sequelo::core::DecoderChoice::kStandard;
  options.channel = static_cast<int>((size >> 1) & 1);
  options.analysisLog = ((size >> 2) & 1) != 0;
  Listener listener;
  const app::DecodeResult result = app::DecodeFrames(capped, options, listener);
  FUZZ_CHECK(result.codes <= result.buffers);
  if (!result.ok) {
    FUZZ_CHECK(!result.error.empty());
    return 0;
  }

  // Frames at the capture rate: ceil(N x 6000 / rate), once both resampling
  // steps have rounded up possibly one more.
  const auto frames = static_cast<std::uint64_t>(capped.Frames());
  const double rate = source->SampleRateHz();
  constexpr auto kRate = static_cast<std::uint64_t>(sequelo::core::kCaptureRateHz);
  constexpr std::uint64_t kFrames = sequelo::core::kBufferFrames;
  if (rate == static_cast<double>(kRate)) {
    FUZZ_CHECK(result.buffers == CeilDiv(frames, kFrames));
  } else {
    const std::uint64_t out = CeilDiv(frames * kRate, static_cast<std::uint64_t>(rate));
    FUZZ_CHECK(result.buffers >= CeilDiv(out, kFrames));
    FUZZ_CHECK(result.buffers <= CeilDiv(out + 1, kFrames));
  }
  return 0;
}
