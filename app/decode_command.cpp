#include "app/decode_command.h"

#include <memory>

#include "audio/sound_file_source.h"

namespace sequelo::app {
namespace {

// Writes each code as it is found and flushes, so a live pipe shows calls at once.
class LinePrinter final : public DecodeListener {
 public:
  LinePrinter(const DecodeCommand& command, std::string file, std::FILE* out, std::FILE* err)
      : command_(command), file_(std::move(file)), out_(out), err_(err) {}

  void OnCode(std::uint64_t timeMs, std::string_view code) override {
    const auto mode = core::ModeDisplayName(command_.decode.modeIndex, command_.decode.modeName);
    const std::string line = FormatCodeLine(command_.format, timeMs, code, mode, file_);
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
  }
  void OnAnalysisLine(std::uint64_t timeMs, std::string_view line) override {
    std::fprintf(err_, "%s %.*s\n", FormatClock(timeMs).c_str(), static_cast<int>(line.size()),
                 line.data());
  }

 private:
  const DecodeCommand& command_;
  std::string file_;
  std::FILE* out_;
  std::FILE* err_;
};

}  // namespace

int RunDecodeCommand(const DecodeCommand& command, std::FILE* out, std::FILE* err) {
  int status = 0;
  for (const std::string& input : command.inputs) {
    const std::string name = input == "-" ? std::string("standard input") : input;
    std::string error;
    std::unique_ptr<audio::FrameSource> source =
        command.rawRateHz > 0 ? audio::OpenRawPcm(input, command.rawRateHz, error)
                              : audio::OpenSoundFile(input, error);
    if (!source) {
      std::fprintf(err, "sequelo-cli: %s: %s\n", name.c_str(), error.c_str());
      status = 1;
      continue;
    }
    LinePrinter printer(command, input, out, err);
    const DecodeResult result = DecodeFrames(*source, command.decode, printer);
    if (!result.ok) {
      std::fprintf(err, "sequelo-cli: %s: %s\n", name.c_str(), result.error.c_str());
      status = 1;
    }
  }
  std::fflush(out);
  return status;
}

}  // namespace sequelo::app
