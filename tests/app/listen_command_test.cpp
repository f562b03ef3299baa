#include "app/listen_command.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/fake_audio.h"
#include "tests/support/signal_generator.h"
#include "tests/support/temp_dir.h"

namespace sequelo::app {
namespace {

using testsupport::ReadStream;

TEST(ListenOutput, LinesOfEachFormat) {
  const LocalTime t{2026, 12, 7, 9, 5, 3, 7};
  EXPECT_EQ(FormatLiveCodeLine(OutputFormat::kText, t, 1765098303007, "12345", "ZVEI", "Rx"),
            "09:05:03.007 Code received: 12345");
  EXPECT_EQ(FormatLiveCodeLine(OutputFormat::kTsv, t, 1765098303007, "12345", "ZVEI", "Rx"),
            "1765098303.007\t12345");
  const auto json = nlohmann::json::parse(
      FormatLiveCodeLine(OutputFormat::kJson, t, 1765098303007, "1*3R.", "DZVEI", "Rx \"1\""));
  EXPECT_EQ(json.at("code"), "1*3R.");
  EXPECT_EQ(json.at("device"), "Rx \"1\"");
  EXPECT_DOUBLE_EQ(json.at("time").get<double>(), 1765098303.007);
}

TEST(ListenCommand, DecodesUntilToldToStop) {
  testsupport::FakeCaptureBackend audio(false, true);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ListenRequest request;
  request.device = "recei";  // any case, first letters
  request.format = OutputFormat::kTsv;
  int waits = 0;
  const int rc = RunListenCommand(
      request, audio,
      [&](int) {
        if (waits++ == 0) {
          testsupport::CallSignal call;
          call.code = "54321";
          auto stereo = testsupport::ToCaptureStereo(testsupport::MakeCall(call));
          stereo.resize((stereo.size() / 256 + 1) * 256, 0);
          audio.current->Feed(stereo);
          audio.current->WaitForReads(stereo.size() / 256);
          audio.current->End();  // the device ends; the capture thread finishes
          return false;
        }
        return true;
      },
      out, err);
  EXPECT_EQ(rc, 0);
  const std::string printed = ReadStream(out);
  EXPECT_NE(printed.find("\t54321\n"), std::string::npos) << printed;
  EXPECT_NE(ReadStream(err).find("Listening on \"Receiver\""), std::string::npos);
  std::fclose(out);
  std::fclose(err);
}

TEST(ListenCommand, ADeviceThatWillNotOpenIsAnError) {
  testsupport::FakeCaptureBackend audio;
  std::FILE* err = std::tmpfile();
  ListenRequest request;
  request.device = "Broken";
  EXPECT_EQ(RunListenCommand(
                request, audio, [](int) { return true; }, stdout, err),
            1);
  EXPECT_NE(ReadStream(err).find("cannot open input device \"Broken\": device busy"),
            std::string::npos);
  std::fclose(err);
}

}  // namespace
}  // namespace sequelo::app
