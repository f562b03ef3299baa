#include "app/listen_command.h"

#include <chrono>
#include <mutex>

#include "audio/audio_system.h"
#include "audio/recorder.h"
#include "core/selectable_decoder.h"
#include "core/text_match.h"

namespace sequelo::app {
namespace {

// Prints each code as it is decoded, on the capture thread.
class LivePrinter final : public core::CodeHandler {
 public:
  LivePrinter(const ListenRequest& request, std::string device, std::FILE* out)
      : request_(request), device_(std::move(device)), out_(out) {}

  void HandleReceivedCode(std::string_view code) override {
    const auto now = std::chrono::system_clock::now();
    const auto unixMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::string line =
        FormatLiveCodeLine(request_.format, clock_.Now(), unixMs, code,
                           core::ModeDisplayName(request_.modeIndex, request_.modeName), device_);
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
  }

 private:
  const ListenRequest& request_;
  std::string device_;
  std::FILE* out_;
  SystemWallClock clock_;
};

}  // namespace

std::string FormatLiveCodeLine(OutputFormat format, const LocalTime& now, std::int64_t unixMs,
                               std::string_view code, std::string_view mode,
                               std::string_view device) {
  char stamp[64];
  switch (format) {
    case OutputFormat::kText:
      std::snprintf(stamp, sizeof stamp, "%02i:%02i:%02i.%03i", now.hour, now.minute, now.second,
                    now.millisecond);
      return std::string(stamp) + " Code received: " + std::string(code);
    case OutputFormat::kTsv:
      std::snprintf(stamp, sizeof stamp, "%lld.%03lld", static_cast<long long>(unixMs / 1000),
                    static_cast<long long>(unixMs % 1000));
      return std::string(stamp) + "\t" + std::string(code);
    case OutputFormat::kJson:
      return JsonCodeLine(unixMs, code, mode, "device", device);
  }
  return {};
}

void LostBufferReport::ReportNew(const audio::Recorder& recorder, std::FILE* err) {
  const std::uint64_t lost = recorder.LostBuffers();
  if (lost > reported_) {
    std::fprintf(err, "sequelo: %llu audio buffers lost so far (the decoder fell behind)\n",
                 static_cast<unsigned long long>(lost));
    std::fflush(err);
    reported_ = lost;
  }
}

void WaitReportingLostBuffers(const audio::Recorder& recorder,
                              const std::function<bool(int timeoutMs)>& waitForStop,
                              std::FILE* err) {
  LostBufferReport report;
  while (!waitForStop(1000)) {
    report.ReportNew(recorder, err);
  }
}

int RunListenCommand(const ListenRequest& request, audio::AudioBackend& audio,
                     const std::function<bool(int timeoutMs)>& waitForStop, std::FILE* out,
                     std::FILE* err) {
  const std::vector<audio::AudioDeviceInfo> devices = audio::ListInputDevices(audio);
  const int index = audio::FindDeviceByPrefix(devices, request.device);
  if (index < 0) {
    std::fprintf(err, "sequelo-cli: no input device found\n");
    return 1;
  }
  const audio::AudioDeviceInfo& device = devices[static_cast<std::size_t>(index)];
  if (!request.device.empty() && !core::StartsWithNoCase(device.name, request.device)) {
    std::fprintf(err, "sequelo-cli: no input device begins with \"%s\"; listening on \"%s\"\n",
                 request.device.c_str(), device.name.c_str());
  }

  core::SteadyTickClock clock;
  core::SelectableDecoder decoder(clock, request.threshold);
  decoder.SetToneSet(core::BuiltInToneSet(request.modeIndex));
  decoder.SetChoice(request.decoder);
  decoder.SetRunBoth(false);  // one decoder for the whole run
  LivePrinter printer(request, device.name, out);
  decoder.SetSinks({nullptr, &printer, nullptr});
  audio::Recorder recorder(audio);
  if (!audio::StartCapture(recorder, devices, index, [&decoder](core::CaptureBuffer buffer) {
        decoder.AnalyseBuffer(buffer);
      })) {
    std::fprintf(err, "sequelo-cli: cannot open input device \"%s\": %s\n", device.name.c_str(),
                 recorder.Error().c_str());
    return 1;
  }
  std::fprintf(err, "Listening on \"%s\" (%s); Ctrl-C stops.\n", device.name.c_str(),
               std::string(core::ModeDisplayName(request.modeIndex, request.modeName)).c_str());
  std::fflush(err);
  WaitReportingLostBuffers(recorder, waitForStop, err);
  audio::StopCapture(recorder);
  std::fprintf(err, "Stopped: %llu buffers analysed, %llu lost.\n",
               static_cast<unsigned long long>(recorder.AnalysedBuffers()),
               static_cast<unsigned long long>(recorder.LostBuffers()));
  return 0;
}

}  // namespace sequelo::app
