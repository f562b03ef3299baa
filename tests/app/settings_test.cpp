#include "app/settings.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "tests/support/temp_dir.h"

namespace sequelo::app {
namespace {

namespace fs = std::filesystem;
using control::ResponseAction;

const std::vector<std::string> kInputs{"Monitor of TestSink", "USB Audio CODEC Analog Stereo"};
const std::vector<std::string> kOutputs{"TestSink", "USB Audio CODEC Analog Stereo"};
const DeviceNames kDevices{kInputs, kOutputs};

class SettingsTest : public ::testing::Test {
 protected:
  std::string Dir() const { return dir_.string(); }
  std::string Path() const { return SettingsPath(Dir()); }
  void WriteFile(const std::string& text) const { std::ofstream(Path(), std::ios::binary) << text; }
  std::string ReadFile() const { return testsupport::ReadFileText(Path()); }
  // One run: load, then (optionally changed by `during`) save.
  Settings Run(const std::function<void(Settings&)>& during = {}) {
    Settings settings = LoadSettings(Dir(), kDevices);
    if (during) {
      during(settings);
    }
    std::string error;
    EXPECT_TRUE(SaveSettings(Dir(), settings, error)) << error;
    return settings;
  }

  testsupport::ScopedTempDir tmp_;
  const fs::path& dir_ = tmp_.path();
};

TEST_F(SettingsTest, NoFileGivesDefaultsAndTheFirstExitWritesEveryKey) {
  const Settings settings = LoadSettings(Dir(), kDevices);
  EXPECT_EQ(settings.mode, Mode::kZvei);
  EXPECT_EQ(settings.inputDevice, kInputs[0]);
  EXPECT_EQ(settings.outputDevice, kOutputs[0]);
  EXPECT_EQ(settings.threshold, 100.0);
  EXPECT_EQ(settings.pilotFreqHz, 300);
  EXPECT_EQ(settings.pilotLenMs, 300);
  EXPECT_EQ(settings.answer.ownCode, "0");
  EXPECT_EQ(settings.answer.ownGroup, "0");
  EXPECT_EQ(settings.answer.fixedText, "0");
  EXPECT_EQ(settings.answer.delayText, "1000");
  EXPECT_FALSE(settings.answer.playSoundOnRx);
  EXPECT_FALSE(settings.pilotTone);
  EXPECT_FALSE(settings.generateSoundfiles);
  EXPECT_TRUE(settings.spectrumDisplay);
  EXPECT_EQ(settings.answer.action, ResponseAction::kNothing);
  EXPECT_EQ(settings.logPath, Dir() + "/Sequelo.log");
  EXPECT_EQ(settings.ptt.usePttControl, 0);
  EXPECT_EQ(settings.ptt.comPort, 0);
  EXPECT_TRUE(settings.callEntries.empty());

  std::string error;
  ASSERT_TRUE(SaveSettings(Dir(), settings, error)) << error;
  EXPECT_EQ(
      ReadFile(),
      "[Sequelo]\r\nMode=0\r\nInputDevice=Monitor of TestSink\r\nOutputDevice=TestSink\r\n"
      "Threshold=100.000000\r\nPilotFreq=300\r\nPilotLen=300\r\nOwnCode=0\r\nOwnGroup=0\r\n"
      "FixedCode=0\r\nPlayWaveFileOnReceiption=0\r\nPilotTone=0\r\nGenerateSoundfiles=0\r\n"
      "SpectrumDisplay=1\r\nWaveFileToPlay=\r\nWaveFileToSend=\r\nAction=0\r\nDelay=1000\r\n"
      "LogPath=" +
          Dir() +
          "/Sequelo.log\r\nUsePTTControl=0\r\nComPort=0\r\nBaudrate=0\r\n"
          "Databits=0\r\nStopbits=0\r\nParity=0\r\nCAT=0\r\nRTS=0\r\nTXCommand=\r\nRXCommand=\r\n"
          "TXDelay=0\r\nComDevice=\r\nHamlibModel=0\r\nHamlibPort=\r\nHamlibSpeed=0\r\n"
          "HamlibPttType=RIG\r\nHamlibPttPort=\r\nHamlibCm108Gpio=3\r\nDecoder=0\r\n"
          "Call_1=12345 - Test Code\r\n"
          "MaxTransmitSeconds=120\r\nRemoteControl=1\r\nRemoteListen=\r\nRemoteAllow=127.0.0.0/8, "
          "10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 100.64.0.0/10, 169.254.0.0/16, ::1, "
          "fc00::/7, "
          "fe80::/"
          "10\r\nRemoteTransmit=1\r\nRemoteSequences=0\r\nRemoteSecret=\r\nRemoteMaxClients=8\r\n"
          "RemoteIdleSeconds=600\r\nLogMaxKB=4096\r\nStationName=" +
          DefaultStationName() +
          "\r\nRepeatWindow=10\r\nTrailerWindow=8\r\nRecordSeconds=0\r\nRecordFolder=" + Dir() +
          "/Recordings\r\nMqttHost=\r\nMqttPort=1883\r\nMqttUser=\r\nMqttPassword=\r\n"
          "ExecHook=\r\nWebhookUrl=\r\nTrailerTones=" +
          std::string(control::kDefaultTrailerTones) + "\r\n");

  const Settings next = LoadSettings(Dir(), kDevices);
  EXPECT_EQ(next.callEntries, std::vector<std::string>{"12345 - Test Code"});
}

TEST_F(SettingsTest, AFileHoldingTheRemoteSecretOrTheMqttPasswordIsTheOwnersAlone) {
  std::ofstream(SettingsPath(Dir())) << "[Sequelo]\r\nRemoteSecret=open sesame\r\n"
                                        "MaxTransmitSeconds=0\r\nRemoteMaxClients=-3\r\n";
  ::chmod(SettingsPath(Dir()).c_str(), 0644);
  Settings settings = LoadSettings(Dir(), kDevices);
  EXPECT_EQ(settings.remote.secret, "open sesame");
  EXPECT_EQ(settings.maxTransmitSeconds, 1u);  // hand-edited nonsense clamped
  EXPECT_EQ(settings.remote.maxClients, 1);
  std::string error;
  ASSERT_TRUE(SaveSettings(Dir(), settings, error)) << error;
  struct stat st {};
  ASSERT_EQ(::stat(SettingsPath(Dir()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The same for the MQTT password.
  std::ofstream(SettingsPath(Dir()), std::ios::trunc) << "[Sequelo]\r\nMqttPassword=pw\r\n";
  ::chmod(SettingsPath(Dir()).c_str(), 0644);
  settings = LoadSettings(Dir(), kDevices);
  EXPECT_EQ(settings.alarms.mqttPassword, "pw");
  ASSERT_TRUE(SaveSettings(Dir(), settings, error)) << error;
  ASSERT_EQ(::stat(SettingsPath(Dir()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsTest, ThresholdIsSavedWithDecimalsAndReadAsItsWholePart) {
  WriteFile("[Sequelo]\r\nThreshold=100.000000\r\n");
  Run([](Settings& s) { s.threshold = 1234.5678; });
  EXPECT_NE(ReadFile().find("Threshold=1234.567800\r\n"), std::string::npos);
  EXPECT_EQ(LoadSettings(Dir(), kDevices).threshold, 1234.0);
}

TEST_F(SettingsTest, DecoderChoiceIsKeptAndUnknownValuesMeanStandard) {
  for (const auto& [stored, loaded] : {std::pair{"1", 1}, std::pair{"0", 0}, std::pair{"2", 0},
                                       std::pair{"-1", 0}, std::pair{"x", 0}}) {
    WriteFile(std::string("[Sequelo]\r\nDecoder=") + stored + "\r\n");
    const Settings settings = Run();
    EXPECT_EQ(settings.decoder, static_cast<core::DecoderChoice>(loaded)) << stored;
    EXPECT_NE(ReadFile().find("Decoder=" + std::to_string(loaded) + "\r\n"), std::string::npos);
  }
}

TEST_F(SettingsTest, DevicesAreFoundByTheirFirstLettersInAnyCase) {
  EXPECT_EQ(FindDeviceEntry(kInputs, "usb audio"), 1);
  EXPECT_EQ(FindDeviceEntry(kInputs, "MONITOR OF"), 0);
  EXPECT_EQ(FindDeviceEntry(kInputs, "Something else"), 0);
  EXPECT_EQ(FindDeviceEntry(kInputs, ""), 0);
  EXPECT_EQ(FindDeviceEntry({}, "usb"), -1);
  WriteFile("[Sequelo]\nInputDevice=uSb\nOutputDevice=usb AUDIO codec\n");
  const Settings settings = LoadSettings(Dir(), kDevices);
  EXPECT_EQ(settings.inputDevice, kInputs[1]);
  EXPECT_EQ(settings.outputDevice, kOutputs[1]);
  // A list without entries stays without a selection and saves an empty name.
  const Settings empty = LoadSettings(Dir(), DeviceNames{});
  EXPECT_EQ(empty.inputDevice, "");
  IniFile ini;
  SaveSettingsInto(ini, empty);
  EXPECT_EQ(ini.GetString("Sequelo", "InputDevice", "x", 255), "");
}

TEST_F(SettingsTest, ActionOutOfRangeChecksNothingAndStaysInTheFile) {
  WriteFile("[Sequelo]\r\nAction=7\r\nMode=8\r\n");
  const Settings settings = Run();
  EXPECT_EQ(settings.answer.action, ResponseAction::kUnset);
  EXPECT_EQ(settings.mode, Mode::kNone);  // no tone set until the operator picks one
  EXPECT_EQ(ToneSetOf(settings.mode), nullptr);
  const std::string saved = ReadFile();
  EXPECT_NE(saved.find("Action=7\r\n"), std::string::npos);
  EXPECT_NE(saved.find("Mode=-1\r\n"), std::string::npos);
  EXPECT_EQ(LoadSettings(Dir(), kDevices).mode, Mode::kNone);
}

TEST_F(SettingsTest, HandEditsSurviveExceptCall1) {
  WriteFile(
      "; station settings\r\n[Other]\r\nKey=kept\r\n\r\n[sequelo]\r\ncall_1=99999 - mine\r\n"
      "Call_2=54321 - Second\r\nMyOwnKey=stays\r\n; a comment\r\nOWNCODE=12345\r\n\r\n"
      "[Tail]\r\nx=1\r\n");
  const Settings settings = Run();
  // In the order stored (Call_1, Call_2): the window sorts them when it shows them.
  EXPECT_EQ(settings.callEntries, (std::vector<std::string>{"99999 - mine", "54321 - Second"}));
  EXPECT_EQ(settings.answer.ownCode, "12345");
  const std::string saved = ReadFile();
  EXPECT_EQ(saved.rfind("; station settings\r\n[Other]\r\nKey=kept\r\n\r\n[sequelo]\r\n"
                        "call_1=12345 - Test Code\r\nCall_2=54321 - Second\r\nMyOwnKey=stays\r\n"
                        "; a comment\r\nOWNCODE=12345\r\n",
                        0),
            0U)
      << saved;
  EXPECT_NE(saved.find("\r\n[Tail]\r\nx=1\r\n"), std::string::npos);
  EXPECT_EQ(saved.find("[Sequelo]"), std::string::npos);  // no second section
  // New keys went into the existing section, before [Tail].
  EXPECT_LT(saved.find("ComDevice="), saved.find("[Tail]"));
}

TEST_F(SettingsTest, EmptyLogPathIsStoredAsTheFullDefaultAndKeptFromElsewhere) {
  Run();
  EXPECT_NE(ReadFile().find("LogPath=" + Dir() + "/Sequelo.log\r\n"), std::string::npos);
  // Started later from another directory, with this file copied there.
  const fs::path other = dir_ / "elsewhere";
  fs::create_directories(other);
  fs::copy_file(Path(), SettingsPath(other.string()));
  EXPECT_EQ(LoadSettings(other.string(), kDevices).logPath, Dir() + "/Sequelo.log");
}

TEST_F(SettingsTest, WindowsWrittenFileLoads) {
  WriteFile(
      "[SEQUELO]\r\nTXDELAY=250\r\nrts=1\r\nCat=0\r\nusepttcontrol=1\r\nMode=1\r\n"
      "Delay=500\r\nOwnGroup=1234*\r\nPlayWaveFileOnReceiption=1\r\nSpectrumDisplay=0\r\n"
      "Action=2\r\nFixedCode=!C12345\r\nComPort=3\r\nTXCommand=fe0a\r\nCall_1=11111 - A\r\n"
      "Call_2=22222\r\nCall_4=44444\r\nPilotFreq=1750\r\nComDevice=/dev/ttyUSB0\r\n");
  const Settings settings = LoadSettings(Dir(), kDevices);
  EXPECT_EQ(settings.mode, Mode::kDzvei);
  EXPECT_EQ(settings.answer.delayText, "500");
  EXPECT_EQ(settings.answer.ownGroup, "1234*");
  EXPECT_EQ(settings.answer.fixedText, "!C12345");
  EXPECT_TRUE(settings.answer.playSoundOnRx);
  EXPECT_FALSE(settings.spectrumDisplay);
  EXPECT_EQ(settings.answer.action, ResponseAction::kSendFixed);
  EXPECT_EQ(settings.pilotFreqHz, 1750);
  EXPECT_EQ(settings.ptt.usePttControl, 1);
  EXPECT_EQ(settings.ptt.rts, 1);
  EXPECT_EQ(settings.ptt.comPort, 3);
  EXPECT_EQ(settings.ptt.txDelayMs, 250U);
  EXPECT_EQ(settings.ptt.txCommand, "fe0a");
  EXPECT_EQ(settings.ptt.comDevice, "/dev/ttyUSB0");
  // A gap ends the Call list.
  EXPECT_EQ(settings.callEntries, (std::vector<std::string>{"11111 - A", "22222"}));
}

TEST_F(SettingsTest, FileSavedByAnEditorWithAByteOrderMarkLoads) {
  WriteFile("\xEF\xBB\xBF[Sequelo]\r\nOwnCode=31415\r\n");
  const Settings settings = Run();
  EXPECT_EQ(settings.answer.ownCode, "31415");
  EXPECT_EQ(ReadFile().rfind("\xEF\xBB\xBF[Sequelo]\r\nOwnCode=31415\r\nMode=0\r\n", 0), 0U);
}

TEST_F(SettingsTest, TextsAreCutToTheirLengths) {
  WriteFile("[Sequelo]\nOwnCode=123456789\nDelay=12345678\nTXCommand=" + std::string(400, 'A') +
            "\nTXDelay=-5\n");
  const Settings settings = LoadSettings(Dir(), kDevices);
  EXPECT_EQ(settings.answer.ownCode, "1234567");
  EXPECT_EQ(settings.answer.delayText, "1234567");
  EXPECT_EQ(settings.ptt.txCommand.size(), 255U);
  EXPECT_EQ(settings.ptt.txDelayMs, 0U);  // never a wrapped negative delay
}

TEST_F(SettingsTest, HamlibKeysAreBoundedAndReadBack) {
  WriteFile("[Sequelo]\nHamlibModel=-7\nHamlibSpeed=99999999\nHamlibCm108Gpio=0\nHamlibPttType=" +
            std::string(40, 'X') + "\nHamlibPort=" + std::string(600, 'h') + "\n");
  Settings settings = LoadSettings(Dir(), kDevices);
  EXPECT_EQ(settings.ptt.hamlibModel, 0);  // off, never a negative model
  EXPECT_EQ(settings.ptt.hamlibSpeed, 4000000);
  EXPECT_EQ(settings.ptt.hamlibCm108Gpio, 1);
  EXPECT_EQ(settings.ptt.hamlibPttType.size(), 15U);
  EXPECT_EQ(settings.ptt.hamlibPort.size(), 511U);
  settings.ptt.hamlibModel = 2;
  settings.ptt.hamlibPort = "127.0.0.1:4532";
  settings.ptt.hamlibPttType = "CM108";
  settings.ptt.hamlibPttPort = "/dev/hidraw0";
  settings.ptt.hamlibCm108Gpio = 4;
  std::string error;
  ASSERT_TRUE(SaveSettings(Dir(), settings, error)) << error;
  const Settings again = LoadSettings(Dir(), kDevices);
  EXPECT_EQ(again.ptt.hamlibModel, 2);
  EXPECT_EQ(again.ptt.hamlibPort, "127.0.0.1:4532");
  EXPECT_EQ(again.ptt.hamlibPttType, "CM108");
  EXPECT_EQ(again.ptt.hamlibPttPort, "/dev/hidraw0");
  EXPECT_EQ(again.ptt.hamlibCm108Gpio, 4);
}

TEST_F(SettingsTest, GarbageLongLinesAndNoSectionGiveDefaults) {
  std::mt19937 rng(3);
  std::string garbage;
  for (int i = 0; i < 200000; ++i) {
    garbage.push_back(static_cast<char>(rng() & 0xFF));
  }
  garbage += "\nThreshold=5\n" + std::string(2'000'000, 'x') + "=1\n";
  WriteFile(garbage);
  const Settings settings = LoadSettings(Dir(), kDevices);
  EXPECT_EQ(settings.threshold, 100.0);  // keys before any section do not count
  EXPECT_EQ(settings.answer.delayText, "1000");
  // Saving keeps what was there and adds the section.
  std::string error;
  ASSERT_TRUE(SaveSettings(Dir(), settings, error)) << error;
  EXPECT_NE(ReadFile().find("\r\n[Sequelo]\r\nMode=0\r\n"), std::string::npos);
  EXPECT_GT(ReadFile().size(), 2'000'000U);
}

TEST_F(SettingsTest, FailedSavesLoseNothing) {
  Settings settings;
  std::string error;
  // A start-up directory that is gone.
  EXPECT_FALSE(SaveSettings((dir_ / "gone").string(), settings, error));
  EXPECT_FALSE(error.empty());

  // A full disk while writing: the old file stays whole, no temporary file remains.
  const std::string before = "[Sequelo]\r\nOwnCode=4711\r\nCall_2=keep me\r\n";
  WriteFile(before);
  settings = LoadSettings(Dir(), kDevices);
  settings.answer.ownCode = "9999";
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 64;  // bytes: the new file cannot be written whole
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved = SaveSettings(Dir(), settings, error);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(saved);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ReadFile(), before);
  int files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) {
    ++files;
  }
  EXPECT_EQ(files, 1);

  // A settings "file" that cannot be read is not overwritten.
  fs::remove(Path());
  fs::create_directory(Path());
  EXPECT_FALSE(SaveSettings(Dir(), settings, error));
  EXPECT_TRUE(fs::is_directory(Path()));
  // Loading it gives the defaults, no crash.
  EXPECT_EQ(LoadSettings(Dir(), kDevices).answer.ownCode, "0");
}

TEST(SettingsStoreTest, UpdatesFromManyThreadsLoseNoEditAndSnapshotsStayAsTaken) {
  SettingsStore store;
  const auto before = store.Snapshot();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store] {
      for (int i = 0; i < 1000; ++i) {
        store.Update([](Settings& s) { ++s.pilotFreqHz; });
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(store.Snapshot()->pilotFreqHz, 300 + 4 * 1000);
  EXPECT_EQ(before->pilotFreqHz, 300);
}

}  // namespace
}  // namespace sequelo::app
