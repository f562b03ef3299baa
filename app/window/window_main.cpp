// sequelo: the desktop program. Opens the main window; on a machine without
// a display it says so and runs the station headless instead.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/decoder_option.h"
#include "app/event_log.h"
#include "app/program_entry.h"
#include "app/station.h"
#include "app/window/main_window.h"
#include "audio/audio_system.h"
#include "tx/posix_serial_port.h"

namespace {

constexpr int kUsageError = 2;

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// A display to open the window on: X11 or Wayland; or a Qt platform chosen
// that needs neither (offscreen, vnc, the framebuffer).
bool HasDisplay() {
  if (Set("DISPLAY") || Set("WAYLAND_DISPLAY")) {
    return true;
  }
  const std::string platform = Set("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
  return !platform.empty() && platform.rfind("xcb", 0) != 0 && platform.rfind("wayland", 0) != 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "Sequelo: decodes and sends ZVEI and DZVEI five-tone selective calls.\n"
      "Opens the main window. The start-up directory holds Sequelo.ini, the log file "
      "Sequelo.log, the marker file Debug.flg and the code sound files; it is the current "
      "directory unless --dir or --data-dir chooses another. Without a display (neither "
      "DISPLAY nor WAYLAND_DISPLAY set) the station runs headless, as `sequelo-cli run` does: "
      "activity on standard output, Ctrl-C stops it.",
      "sequelo");
  app.set_version_flag("--version", std::string("sequelo ") + SEQUELO_VERSION);
  std::string dir;
  bool dataDir = false;
  bool headless = false;
  sequelo::app::StationOptions options;
  auto* dirOption =
      app.add_option("--dir", dir, "Start-up directory (default: the current directory)");
  app.add_flag("--data-dir", dataDir,
               "Use Sequelo's directory in the user's data directory ($XDG_DATA_HOME/sequelo, "
               "default ~/.local/share/sequelo; created when missing); the desktop menu "
               "starts the program this way")
      ->excludes(dirOption);
  app.add_flag("--headless", headless, "Run the station without a window even with a display");
  std::string decoder;
  sequelo::app::AddDecoderOption(&app, decoder,
                                 "the setting Decoder of Sequelo.ini, which \"Extras > Enhanced "
                                 "decoder\" switches; the option is not saved");
  app.add_option("--port", options.remotePort, "TCP port of the remote control; 0: any free port")
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      return app.exit(e);
    }
    std::fprintf(stderr, "sequelo: %s\n\n%s", e.what(), app.help().c_str());
    return kUsageError;
  }

  bool create = false;
  if (dataDir) {
    dir = sequelo::app::UserDataDirectory(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
    if (dir.empty()) {
      std::fprintf(stderr, "sequelo: --data-dir: neither XDG_DATA_HOME nor HOME is set\n");
      return kUsageError;
    }
    create = true;
  } else if (dir.empty()) {
    dir = sequelo::app::CurrentDirectory();
  }
  std::string error;
  if (!sequelo::app::ResolveStartupDirectory(dir, create, error)) {
    std::fprintf(stderr, "sequelo: %s: %s\n", dir.c_str(), error.c_str());
    return kUsageError;
  }
  // Relative paths (a wave file typed into the Call box) start there too.
  if (::chdir(dir.c_str()) != 0) {
    std::fprintf(stderr, "sequelo: %s: cannot change into it\n", dir.c_str());
    return kUsageError;
  }
  options.startupDir = dir;
  options.decoder = sequelo::app::DecoderFromOption(decoder);

  std::string backendName;
  if (headless || !HasDisplay()) {
    if (!headless) {
      std::fprintf(stderr,
                   "sequelo: no display (neither DISPLAY nor WAYLAND_DISPLAY is set): running the "
                   "station headless in %s; Ctrl-C stops it\n",
                   dir.c_str());
    }
    sigset_t stopSignals = sequelo::app::BlockStopSignals();
    auto audio = sequelo::audio::AudioSystem::Open(backendName);
    std::fprintf(stderr, "Sound system: %s\n", backendName.c_str());
    sequelo::tx::PosixSerialPort port;
    return sequelo::app::RunStation(
        options, *audio, port,
        [&stopSignals](int ms) { return sequelo::app::WaitForSignal(stopSignals, ms); }, stdout,
        stderr);
  }

  // Ctrl-C, SIGTERM (a logout, a service manager), SIGQUIT and SIGHUP close
  // the window the way "Exit" does, so settings and the log are kept;
  // SIGUSR1 stops the transmission; SIGUSR2 reads the alarm settings again.
  const sigset_t stopSignals = sequelo::app::BlockStopSignals();
  QApplication qtApp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Sequelo"));
  QApplication::setDesktopFileName(QStringLiteral("sequelo"));
  QApplication::setStyle(QStringLiteral("Fusion"));
  auto audio = sequelo::audio::AudioSystem::Open(backendName);
  sequelo::tx::PosixSerialPort port;
  sequelo::app::SystemWallClock wallClock;
  sequelo::app::PosixProcessLauncher launcher;
  sequelo::app::WindowServices services;
  services.audio = audio.get();
  services.port = &port;
  services.wallClock = &wallClock;
  services.launcher = &launcher;
  services.serialDevices = [] { return sequelo::tx::DetectSerialDevices(); };
  int result = 0;
  {
    sequelo::app::MainWindow window(options, services);
    window.StartUp();
    window.show();
    std::atomic<bool> ended{false};
    sequelo::app::Station& station = window.GetStation();
    std::thread signalWatch([&] {
      while (!ended.load()) {
        const int signo = sequelo::app::WaitForSignal(stopSignals, 200);
        if (signo == SIGUSR1) {
          station.StopTransmission();
        } else if (signo == SIGUSR2) {
          station.ReloadAlarmSettings();
        } else if (signo != 0) {
          // The transmitter released first, from this thread, whatever the
          // window's thread is doing; then the window closes as "Exit" does.
          station.AbortTransmissions();
          QMetaObject::invokeMethod(&window, &QWidget::close, Qt::QueuedConnection);
        }
      }
    });
    result = QApplication::exec();
    ended = true;
    signalWatch.join();
  }
  return result == 0 ? 0 : 1;
}
