#include "app/sound_commands.h"

#include <gtest/gtest.h>

#include <fstream>

#include "audio/tone_generator.h"
#include "tests/support/fake_audio.h"
#include "tests/support/fakes.h"
#include "tests/support/temp_dir.h"

namespace sequelo::app {
namespace {

class SendCommandTest : public ::testing::Test {
 protected:
  void Ini(const std::string& keys) {
    std::ofstream(tmp_.Path("Sequelo.ini")) << "[Sequelo]\n" << keys;
  }
  int Send(const std::string& code, int mode = -1) {
    out_ = std::tmpfile();
    const int rc = RunSendCommand(tmp_.path().string(), code, mode, audio_, port_, messages_, out_);
    std::rewind(out_);
    char buffer[2048] = {};
    output_.assign(buffer, std::fread(buffer, 1, sizeof buffer, out_));
    std::fclose(out_);
    return rc;
  }

  testsupport::ScopedTempDir tmp_;
  testsupport::EventTrail trail_;
  testsupport::FakeAudioBackend audio_{trail_, 3};
  testsupport::FakeSerialPort port_;
  testsupport::FakeMessageSink messages_;
  std::FILE* out_ = nullptr;
  std::string output_;
};

TEST_F(SendCommandTest, SendsOnTheConfiguredDeviceKeyedAndLogsIt) {
  Ini("Mode=1\nOutputDevice=device 2\nUsePTTControl=1\nRTS=1\nPilotTone=1\nPilotFreq=1750\n"
      "PilotLen=100\nLogPath=" +
      tmp_.Path("station.log") + "\n");
  ASSERT_EQ(Send("11111"), 0) << output_;
  EXPECT_EQ(audio_.opened.front(), "dev2");  // transmit device from the settings
  const auto& writes = audio_.recordings[0]->writes;
  ASSERT_EQ(writes.size(), 6U);
  EXPECT_EQ(writes[0], audio::SynthesiseTone(1750, 100));
  EXPECT_EQ(writes[2], audio::SynthesiseTone(810, 70));  // DZVEI repeat tone
  EXPECT_EQ(port_.lines.size(), 3U);  // RTS keyed, released, released again at close
  EXPECT_EQ(port_.restores, 1);
  std::ifstream log(tmp_.Path("station.log"));
  std::string line;
  std::getline(log, line);
  EXPECT_NE(line.find(" Code sent: 11111\r"), std::string::npos) << line;
  EXPECT_NE(output_.find("Code sent: 11111"), std::string::npos);  // the activity line
}

TEST_F(SendCommandTest, ModeOptionWinsAndNoModeIsRefused) {
  Ini("Mode=8\n");
  EXPECT_EQ(Send("12345"), 1);
  EXPECT_NE(output_.find("No mode chosen"), std::string::npos);
  EXPECT_EQ(Send("12345", 0), 0);
  EXPECT_EQ(audio_.recordings.back()->writes.size(), 0U);  // the local device plays nothing
  EXPECT_EQ(audio_.recordings[audio_.recordings.size() - 2]->writes.size(), 5U);
}

TEST_F(SendCommandTest, AnOutputThatWillNotOpenIsReported) {
  Ini("OutputDevice=Device 1\n");
  audio_.failing = {"dev1"};
  EXPECT_EQ(Send("12345"), 1);
  EXPECT_NE(output_.find("Cannot open the output device"), std::string::npos);
}

TEST(EncodeCommand, WritesTheCallWithItsPilot) {
  testsupport::ScopedTempDir tmp;
  EncodeRequest request;
  request.code = "1*1**";
  request.pilot = true;
  request.pilotFreqHz = 300;
  request.pilotLenMs = 300;
  request.outputPath = tmp.Path("call.wav");
  ASSERT_EQ(RunEncodeCommand(request, stderr), 0);
  EXPECT_EQ(std::filesystem::file_size(request.outputPath), 44U + 2U * (3307U + 5U * 771U));
  request.outputPath = tmp.Path("no/such/dir.wav");
  std::FILE* err = std::tmpfile();
  EXPECT_EQ(RunEncodeCommand(request, err), 1);
  std::fclose(err);
}

}  // namespace
}  // namespace sequelo::app
