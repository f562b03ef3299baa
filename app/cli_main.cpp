// sequelo-cli: the headless command line of Sequelo.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <thread>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>

#include "app/console_message_sink.h"
#include "app/decode_command.h"
#include "app/decoder_option.h"
#include "app/listen_command.h"
#include "app/program_entry.h"
#include "app/sound_commands.h"
#include "app/station.h"
#include "app/station_commands.h"
#include "audio/audio_system.h"
#include "tx/abortable_wait.h"
#include "tx/posix_serial_port.h"

namespace {

using sequelo::app::DecodeCommand;
using sequelo::app::OutputFormat;

constexpr int kUsageError = 2;

// --mode: one of the tone sets, by name in any case (ZVEI1 is ZVEI).
CLI::Validator ModeName() {
  return CLI::Validator(
      [](std::string& text) {
        return sequelo::core::ModeIndexFromName(text) >= 0
                   ? std::string()
                   : "unknown tone set " + text + "; one of " +
                         std::string(sequelo::core::ModeNameList());
      },
      "MODE");
}

// Says on standard error when the standard decoder was asked for a set it
// does not know (the enhanced decoder reports instead).
void NoteStandardDecoder(sequelo::core::DecoderChoice choice, int modeIndex,
                         const std::string& given) {
  const sequelo::core::ToneSet* toneSet = sequelo::core::BuiltInToneSet(modeIndex);
  if (choice == sequelo::core::DecoderChoice::kStandard && toneSet != nullptr &&
      toneSet->enhancedOnly) {
    std::fprintf(
        stderr, "sequelo-cli: %s\n",
        sequelo::core::StandardDecoderNote(sequelo::core::ModeDisplayName(modeIndex, given))
            .c_str());
  }
}

std::string ModeHelp(const char* tail = "") {
  return "Tone set: " + std::string(sequelo::core::ModeNameList()) + tail;
}

void AddDecodeCommand(CLI::App& app, DecodeCommand& command, std::string& mode,
                      std::string& channel, std::string& format, std::string& decoder) {
  CLI::App* decode = app.add_subcommand(
      "decode",
      "Decode five-tone calls from audio files or a raw sample stream. Prints one line per "
      "code: the audio time from the start of the input and the code. The enhanced decoder "
      "also prints sequences (called code, separator letter, caller's code) and other framed "
      "runs of 3 to 16 tones.");
  decode->add_option("--mode", mode, ModeHelp())->check(ModeName())->capture_default_str();
  decode
      ->add_option("--threshold", command.decode.threshold,
                   "Standard decoder: level a tone's peak must exceed (spectrum magnitude, "
                   "16-bit scale); 0 calibrates it to 1.5 x the first buffer's peak")
      ->check(CLI::Validator(
          [](std::string& text) {
            double value = -1;
            return CLI::detail::lexical_cast(text, value) && value >= 0.0
                       ? std::string()
                       : std::string("must be a number, 0 or more");
          },
          "NUMBER>=0"))
      ->capture_default_str();
  decode->add_option("--channel", channel, "Channel to analyse: left or right")
      ->check(CLI::IsMember({"left", "right"}, CLI::ignore_case))
      ->capture_default_str();
  decode
      ->add_option("--raw", command.rawRateHz,
                   "Inputs are raw signed 16-bit little-endian mono samples at RATE Hz "
                   "(e.g. from rtl_fm); without it, any file libsndfile reads")
      ->type_name("RATE")
      ->check(CLI::Range(1, 1000000));
  decode
      ->add_option("--format", format,
                   "Output, one line per code: text, tsv (seconds<TAB>code) or json (also names "
                   "the file and mode)")
      ->check(CLI::IsMember({"text", "tsv", "json"}, CLI::ignore_case))
      ->capture_default_str();
  decode->add_flag("--analysis-log", command.decode.analysisLog,
                   "Write the decoder's analysis lines to standard error (the enhanced "
                   "decoder: one line per candidate call)");
  sequelo::app::AddDecoderOption(decode, decoder, "enhanced");
  decode
      ->add_option("FILE", command.inputs,
                   "Audio files to decode; - reads standard input. Audio not at 6000 Hz is "
                   "resampled")
      ->required();
}

// The directory the program was started in: where Sequelo.ini lives.
OutputFormat FormatFromName(const std::string& name) {
  static const std::map<std::string, OutputFormat> kFormats{
      {"text", OutputFormat::kText}, {"tsv", OutputFormat::kTsv}, {"json", OutputFormat::kJson}};
  return kFormats.at(CLI::detail::to_lower(name));
}

// "1750:300" -> pilot 1750 Hz for 300 ms.
bool ParsePilot(const std::string& text, sequelo::app::EncodeRequest& request) {
  unsigned freq = 0;
  unsigned ms = 0;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &freq, &ms, &extra) != 2) {
    return false;
  }
  request.pilot = true;
  request.pilotFreqHz = freq;
  request.pilotLenMs = ms;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Sequelo on the command line: five-tone selective calls (ZVEI, DZVEI, ZVEI2, "
      "ZVEI3, PZVEI, CCIR, EEA, EIA)",
      "sequelo-cli"};
  app.set_version_flag("--version", SEQUELO_VERSION);
  app.require_subcommand(1);

  DecodeCommand command;
  std::string mode = "ZVEI";
  std::string channel = "left";
  std::string format = "text";
  std::string decodeDecoder;
  AddDecodeCommand(app, command, mode, channel, format, decodeDecoder);
  CLI::App* devices =
      app.add_subcommand("devices",
                         "List the sound output and input devices (number, name, backend) and the "
                         "serial devices");
  sequelo::app::EncodeRequest encodeRequest;
  std::string encodeMode = "ZVEI";
  std::string pilot;
  CLI::App* encode = app.add_subcommand(
      "encode",
      "Write a call as the wave file that sending it would write (11025 Hz mono "
      "16-bit: optional pilot tone, then five tones with the repeat rule, as long as the "
      "set's tones: 70 ms ZVEI family, 100 ms PZVEI and CCIR, 40 ms EEA, 33 ms EIA)");
  encode->add_option("--mode", encodeMode, ModeHelp(" (each with its own tone length)"))
      ->check(ModeName())
      ->capture_default_str();
  encode->add_option("--pilot", pilot, "Pilot tone before the call, FREQ:MS (e.g. 1750:300)");
  encode->add_option("-o,--output", encodeRequest.outputPath, "Wave file to write")->required();
  encode->add_option("CODE", encodeRequest.code, "Five characters, each 0-9 or *")->required();
  std::string sendCode;
  std::string sendMode;
  CLI::App* send =
      app.add_subcommand("send",
                         "Send a call on the air (with the alarm options: an alarm, all in one "
                         "keying) with the output device, PTT and pilot settings of Sequelo.ini "
                         "in the current directory");
  send->add_option("--mode", sendMode, ModeHelp(" (default: the Mode setting)"))->check(ModeName());
  send->add_option("CODE", sendCode, "Five characters, each 0-9 or *")->required();
  // An alarm: the options below send the call in that shape, in one keying.
  sequelo::app::SendAlarm sendAlarm;
  std::string leadIn;
  std::string siren;
  std::uint32_t wakeMs = 0;
  send->add_option("--repeat", sendAlarm.shape.repeats,
                   "Alarm: send the call N times (1-9) with a pause between")
      ->check(CLI::Range(1, 9));
  send->add_option("--pause", sendAlarm.shape.pauseMs,
                   "Alarm: the pause between calls and before the wake tone or siren, ms")
      ->check(CLI::Range(0, 9999))
      ->capture_default_str();
  send->add_option("--lead-in", leadIn, "Alarm: a tone before the first call, FREQ:MS");
  send->add_flag("--caller", sendAlarm.shape.caller,
                 "Alarm: after each call the separator tone and the own code (OwnCode) as "
                 "the caller");
  send->add_option("--wake", wakeMs,
                   "Alarm: the intermittent wake tone (2600 Hz) for MS after "
                   "the calls")
      ->check(CLI::Range(1, 9999));
  send->add_option("--siren", siren,
                   "Alarm: a siren double tone after the calls, NAME:MS as the trailer table "
                   "(TrailerTones) names it: fire, test, civil-protection alarm, warning, all "
                   "clear; e.g. fire:5000")
      ->excludes("--wake");
  sequelo::app::ListenRequest listenRequest;
  std::string listenMode = "ZVEI";
  std::string listenFormat = "text";
  CLI::App* listen =
      app.add_subcommand("listen",
                         "Decode calls live from an input device and print each code with the time "
                         "of day, until Ctrl-C");
  listen->add_option("--device", listenRequest.device,
                     "Input device: the first whose name begins with this, in any case "
                     "(default: the first; see `devices`)");
  listen->add_option("--mode", listenMode, ModeHelp())->check(ModeName())->capture_default_str();
  listen
      ->add_option("--format", listenFormat,
                   "Output, one line per code: text (local time), tsv (Unix seconds<TAB>code) "
                   "or json")
      ->check(CLI::IsMember({"text", "tsv", "json"}, CLI::ignore_case))
      ->capture_default_str();
  listen
      ->add_option("--threshold", listenRequest.threshold,
                   "Standard decoder: level a tone's peak must exceed; 0 calibrates on the "
                   "first buffer")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  std::string listenDecoder;
  sequelo::app::AddDecoderOption(listen, listenDecoder, "enhanced");
  sequelo::app::StationOptions station;
  std::string stationDir;
  CLI::App* run = app.add_subcommand(
      "run",
      "Run the station without a window: listen on the input device of Sequelo.ini, "
      "answer calls to the own code, serve remote clients on TCP port 15286 (from the "
      "networks of RemoteAllow); activity on standard output, messages on standard error. "
      "Ctrl-C, SIGTERM, SIGQUIT or SIGHUP release the transmitter and stop it; SIGUSR1 "
      "stops the transmission under way; SIGUSR2 (and SIGHUP under systemd) reads the alarm "
      "settings (station name, windows, recording, MQTT, hook, webhook) from Sequelo.ini "
      "again");
  run->add_option("--dir", stationDir,
                  "Start-up directory: holds Sequelo.ini (created at exit when missing), the "
                  "default log file and code sound files (default: the current directory)");
  run->add_flag("--analysis-log", station.analysisLog,
                "Write the decoder's analysis lines to the log file");
  run->add_option("--port", station.remotePort, "TCP port of the remote control; 0: any free port")
      ->capture_default_str();
  std::string runDecoder;
  sequelo::app::AddDecoderOption(
      run, runDecoder,
      "the setting Decoder of Sequelo.ini (0 standard, 1 enhanced); the option is not saved");
  CLI::App* ports = app.add_subcommand(
      "ports",
      "List the serial devices found (/dev/serial/by-id, ttyUSB, ttyACM, ttyS). To key through "
      "Hamlib instead, set HamlibModel (see `rigs`; 2 shares a running rigctld) and HamlibPort "
      "(the device, or host:port) in Sequelo.ini");
  CLI::App* rigs = app.add_subcommand(
      "rigs", "List the radio models Hamlib can key (number, maker, model) for HamlibModel");
  double holdSeconds = 2.0;
  CLI::App* pttTest = app.add_subcommand(
      "ptt-test",
      "Key the transmitter once as configured in Sequelo.ini in the current directory: open "
      "the port, key, hold, release, restore and close it, printing each step; a signal "
      "during the hold releases at once. With HamlibModel set, through Hamlib: the radio's "
      "read-back of its PTT is printed, and a keying or release it does not confirm fails");
  pttTest->add_option("--seconds", holdSeconds, "How long to hold the transmitter keyed, 0 to 600")
      ->check(CLI::Range(0.0, 600.0))
      ->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      return app.exit(e);  // --help, --version
    }
    std::fprintf(stderr, "sequelo-cli: %s\n\n", e.what());
    if (app.get_subcommands().empty()) {
      std::cerr << app.help();
    } else {
      std::cerr << app.get_subcommands().front()->help(app.get_name());
    }
    return kUsageError;
  }

  if (app.got_subcommand("decode")) {
    command.decode.modeIndex = sequelo::core::ModeIndexFromName(mode);
    command.decode.modeName = sequelo::core::ModeDisplayName(command.decode.modeIndex, mode);
    command.decode.channel = CLI::detail::to_lower(channel) == "right" ? 1 : 0;
    command.decode.decoder = sequelo::app::DecoderFromOption(decodeDecoder)
                                 .value_or(sequelo::core::DecoderChoice::kEnhanced);
    command.format = FormatFromName(format);
    NoteStandardDecoder(command.decode.decoder, command.decode.modeIndex, mode);
    if (command.rawRateHz > 0 && command.decode.channel == 1) {
      std::fprintf(stderr, "sequelo-cli: --channel right: raw input has one channel\n");
      return kUsageError;
    }
    return sequelo::app::RunDecodeCommand(command, stdout, stderr);
  }
  if (devices->parsed()) {
    std::string backendName;
    auto audio = sequelo::audio::AudioSystem::Open(backendName);
    return sequelo::app::RunDevicesCommand(*audio, backendName, sequelo::tx::DetectSerialDevices(),
                                           stdout);
  }
  if (encode->parsed()) {
    if (!sequelo::core::IsCallCode(encodeRequest.code)) {
      std::fprintf(stderr, "sequelo-cli: %s: a code is five characters, each 0-9 or *\n",
                   encodeRequest.code.c_str());
      return kUsageError;
    }
    encodeRequest.modeIndex = sequelo::core::ModeIndexFromName(encodeMode);
    if (!pilot.empty() && !ParsePilot(pilot, encodeRequest)) {
      std::fprintf(stderr, "sequelo-cli: --pilot %s: expected FREQ:MS, e.g. 1750:300\n",
                   pilot.c_str());
      return kUsageError;
    }
    return sequelo::app::RunEncodeCommand(encodeRequest, stderr);
  }
  if (send->parsed()) {
    if (!sequelo::core::IsCallCode(sendCode)) {
      std::fprintf(stderr, "sequelo-cli: %s: a code is five characters, each 0-9 or *\n",
                   sendCode.c_str());
      return kUsageError;
    }
    const bool alarm = send->count("--repeat") + send->count("--lead-in") +
                           send->count("--caller") + send->count("--wake") +
                           send->count("--siren") >
                       0;
    if (!leadIn.empty()) {
      sequelo::app::EncodeRequest tone;
      if (!ParsePilot(leadIn, tone)) {
        std::fprintf(stderr, "sequelo-cli: --lead-in %s: expected FREQ:MS, e.g. 1750:500\n",
                     leadIn.c_str());
        return kUsageError;
      }
      sendAlarm.shape.leadInHz = tone.pilotFreqHz;
      sendAlarm.shape.leadInMs = tone.pilotLenMs;
    }
    if (wakeMs > 0) {
      sendAlarm.shape.trailer = sequelo::control::AlarmShape::Trailer::kWake;
      sendAlarm.shape.trailerMs = wakeMs;
    }
    if (!siren.empty()) {
      const std::size_t colon = siren.rfind(':');
      unsigned ms = 0;
      char extra = 0;
      if (colon == std::string::npos || colon == 0 ||
          std::sscanf(siren.c_str() + colon + 1, "%u%c", &ms, &extra) != 1 || ms < 1 || ms > 9999) {
        std::fprintf(stderr, "sequelo-cli: --siren %s: expected NAME:MS, e.g. fire:5000\n",
                     siren.c_str());
        return kUsageError;
      }
      sendAlarm.shape.trailer = sequelo::control::AlarmShape::Trailer::kSiren;
      sendAlarm.sirenName = siren.substr(0, colon);
      sendAlarm.shape.trailerMs = ms;
    }
    const sigset_t signals = sequelo::app::BlockStopSignals();
    std::string backendName;
    auto audio = sequelo::audio::AudioSystem::Open(backendName);
    sequelo::tx::PosixSerialPort port;
    sequelo::app::ConsoleMessageSink messages;
    const int sendModeIndex = sendMode.empty() ? -1 : sequelo::core::ModeIndexFromName(sendMode);
    return sequelo::app::RunSendCommand(sequelo::app::CurrentDirectory(), sendCode, sendModeIndex,
                                        *audio, port, messages, stdout, &signals,
                                        alarm ? &sendAlarm : nullptr);
  }
  if (run->parsed()) {
    station.decoder = sequelo::app::DecoderFromOption(runDecoder);
    station.startupDir = stationDir.empty() ? sequelo::app::CurrentDirectory() : stationDir;
    std::string dirError;
    if (!sequelo::app::ResolveStartupDirectory(station.startupDir, false, dirError)) {
      std::fprintf(stderr, "sequelo-cli: --dir %s: %s\n", stationDir.c_str(), dirError.c_str());
      return kUsageError;
    }
    sigset_t stopSignals = sequelo::app::BlockStopSignals();
    std::string backendName;
    auto audio = sequelo::audio::AudioSystem::Open(backendName);
    sequelo::tx::PosixSerialPort port;
    return sequelo::app::RunStation(
        station, *audio, port,
        [&stopSignals](int ms) { return sequelo::app::WaitForSignal(stopSignals, ms); }, stdout,
        stderr);
  }
  if (listen->parsed()) {
    listenRequest.modeIndex = sequelo::core::ModeIndexFromName(listenMode);
    listenRequest.modeName = sequelo::core::ModeDisplayName(listenRequest.modeIndex, listenMode);
    listenRequest.format = FormatFromName(listenFormat);
    listenRequest.decoder = sequelo::app::DecoderFromOption(listenDecoder)
                                .value_or(sequelo::core::DecoderChoice::kEnhanced);
    NoteStandardDecoder(listenRequest.decoder, listenRequest.modeIndex, listenMode);
    sigset_t stopSignals = sequelo::app::BlockStopSignals();
    std::string backendName;
    auto audio = sequelo::audio::AudioSystem::Open(backendName);
    return sequelo::app::RunListenCommand(
        listenRequest, *audio,
        [&stopSignals](int ms) {
          const int signo = sequelo::app::WaitForSignal(stopSignals, ms);
          // Nothing to stop but listening, no alarm settings to read.
          return signo != 0 && signo != SIGUSR1 && signo != SIGUSR2;
        },
        stdout, stderr);
  }
  if (rigs->parsed()) {
    return sequelo::app::RunRigsCommand(sequelo::tx::HamlibModels(), stdout);
  }
  if (ports->parsed()) {
    return sequelo::app::RunPortsCommand(sequelo::tx::DetectSerialDevices(), stdout, stderr);
  }
  if (pttTest->parsed()) {
    sequelo::tx::PosixSerialPort port;
    sequelo::app::ConsoleMessageSink messages;
    sequelo::tx::AbortableWait sleeper;
    const auto holdMs = static_cast<std::uint32_t>(std::lround(holdSeconds * 1000.0));
    // Any signal ends the hold (and the TX delay) at once: the transmitter
    // is released and the port given back before the program ends.
    const sigset_t signals = sequelo::app::BlockStopSignals();
    std::atomic<bool> done{false};
    std::atomic<int> caught{0};
    std::thread watch([&] {
      while (!done) {
        if (const int signo = sequelo::app::WaitForSignal(signals, 100)) {
          caught = signo;
          sleeper.Abort();
        }
      }
    });
    sequelo::tx::HamlibRig rig;
    const int result = sequelo::app::RunPttTestCommand(sequelo::app::CurrentDirectory(), holdMs,
                                                       port, messages, sleeper, stdout, &rig);
    done = true;
    watch.join();
    if (caught != 0) {
      std::fprintf(stdout, "Stopped by %s.\n", sequelo::app::SignalName(caught).c_str());
      return 128 + caught;
    }
    return result;
  }
  return kUsageError;
}
