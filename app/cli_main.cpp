// sequelo-cli: the headless command line of Sequelo.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>

#include "app/console_message_sink.h"
#include "app/decode_command.h"
#include "app/station_commands.h"
#include "tx/posix_serial_port.h"

namespace {

using sequelo::app::DecodeCommand;
using sequelo::app::OutputFormat;

constexpr int kUsageError = 2;

void AddDecodeCommand(CLI::App& app, DecodeCommand& command, std::string& mode,
                      std::string& channel, std::string& format) {
  CLI::App* decode = app.add_subcommand(
      "decode",
      "Decode five-tone calls from audio files or a raw sample stream. Prints one line per "
      "code: the audio time from the start of the input and the code.");
  decode->add_option("--mode", mode, "Tone set: ZVEI or DZVEI")
      ->check(CLI::IsMember({"ZVEI", "DZVEI"}, CLI::ignore_case))
      ->capture_default_str();
  decode
      ->add_option("--threshold", command.decode.threshold,
                   "Level a tone's peak must exceed (spectrum magnitude, 16-bit scale); "
                   "0 calibrates it to 1.5 x the first buffer's peak")
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
                   "Write the detector's analysis lines to standard error");
  decode
      ->add_option("FILE", command.inputs,
                   "Audio files to decode; - reads standard input. Audio not at 6000 Hz is "
                   "resampled")
      ->required();
}

// The directory the program was started in: where Sequelo.ini lives.
std::string StartupDirectory() {
  std::error_code ec;
  const auto dir = std::filesystem::current_path(ec);
  return ec ? std::string(".") : dir.string();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Sequelo on the command line: five-tone selective calls (ZVEI, DZVEI)",
               "sequelo-cli"};
  app.set_version_flag("--version", SEQUELO_VERSION);
  app.require_subcommand(1);

  DecodeCommand command;
  std::string mode = "ZVEI";
  std::string channel = "left";
  std::string format = "text";
  AddDecodeCommand(app, command, mode, channel, format);
  CLI::App* ports = app.add_subcommand(
      "ports", "List the serial devices found (/dev/serial/by-id, ttyUSB, ttyACM, ttyS)");
  double holdSeconds = 2.0;
  CLI::App* pttTest = app.add_subcommand(
      "ptt-test",
      "Key the transmitter once as configured in Sequelo.ini in the current directory: open "
      "the port, key, hold, release, restore and close it, printing each step");
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
    command.decode.channel = CLI::detail::to_lower(channel) == "right" ? 1 : 0;
    static const std::map<std::string, OutputFormat> kFormats{
        {"text", OutputFormat::kText}, {"tsv", OutputFormat::kTsv}, {"json", OutputFormat::kJson}};
    command.format = kFormats.at(CLI::detail::to_lower(format));
    if (command.rawRateHz > 0 && command.decode.channel == 1) {
      std::fprintf(stderr, "sequelo-cli: --channel right: raw input has one channel\n");
      return kUsageError;
    }
    return sequelo::app::RunDecodeCommand(command, stdout, stderr);
  }
  if (ports->parsed()) {
    return sequelo::app::RunPortsCommand(sequelo::tx::DetectSerialDevices(), stdout, stderr);
  }
  if (pttTest->parsed()) {
    sequelo::tx::PosixSerialPort port;
    sequelo::app::ConsoleMessageSink messages;
    sequelo::core::ThreadSleeper sleeper;
    const auto holdMs = static_cast<std::uint32_t>(std::lround(holdSeconds * 1000.0));
    return sequelo::app::RunPttTestCommand(StartupDirectory(), holdMs, port, messages, sleeper,
                                           stdout);
  }
  return kUsageError;
}
