#include "app/program_entry.h"

#include <pthread.h>

#include <ctime>
#include <filesystem>
#include <system_error>

namespace sequelo::app {

std::string CurrentDirectory() {
  std::error_code ec;
  const auto dir = std::filesystem::current_path(ec);
  return ec ? std::string(".") : dir.string();
}

std::string UserDataDirectory(const char* xdgDataHome, const char* home) {
  if (xdgDataHome != nullptr && xdgDataHome[0] == '/') {
    return (std::filesystem::path(xdgDataHome) / "sequelo").lexically_normal().string();
  }
  if (home != nullptr && home[0] == '/') {
    return (std::filesystem::path(home) / ".local/share/sequelo").lexically_normal().string();
  }
  return {};
}

bool ResolveStartupDirectory(std::string& dir, bool create, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (create && !fs::exists(dir, ec)) {
    fs::create_directories(dir, ec);
    if (ec) {
      error = "cannot create it: " + ec.message();
      return false;
    }
  }
  if (!fs::is_directory(dir, ec)) {
    error = "not a directory";
    return false;
  }
  dir = fs::absolute(dir, ec).lexically_normal().string();
  if (dir.size() > 1 && dir.back() == '/') {
    dir.pop_back();
  }
  return true;
}

sigset_t BlockStopSignals() {
  // A reader that goes away (`sequelo-cli run | head`) must not end the
  // program: writes to it fail instead.
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signo : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGUSR1, SIGUSR2}) {
    sigaddset(&signals, signo);
  }
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

int WaitForSignal(const sigset_t& signals, int timeoutMs) {
  const timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
  const int signo = sigtimedwait(&signals, nullptr, &timeout);
  return signo > 0 ? signo : 0;
}

std::string SignalName(int signo) {
  switch (signo) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGQUIT:
      return "SIGQUIT";
    case SIGHUP:
      return "SIGHUP";
    case SIGUSR1:
      return "SIGUSR1";
    case SIGUSR2:
      return "SIGUSR2";
    default:
      return "signal " + std::to_string(signo);
  }
}

}  // namespace sequelo::app
