// What both programs do at their entry: find the start-up directory, and
// stop cleanly on a signal.
#pragma once

#include <csignal>
#include <string>

namespace sequelo::app {

// The process's current directory ("." if it cannot be read).
std::string CurrentDirectory();

// Sequelo's directory in the user's data directory: $XDG_DATA_HOME/sequelo,
// or $HOME/.local/share/sequelo when XDG_DATA_HOME is unset, empty or not an
// absolute path (as the desktop's base-directory rules say). Empty when
// neither gives a path.
std::string UserDataDirectory(const char* xdgDataHome, const char* home);

// `dir` as an absolute path, created (with its parents) when `create` and it
// is missing. False with a reason when it is not (or cannot be made) a
// directory.
bool ResolveStartupDirectory(std::string& dir, bool create, std::string& error);

// The signals that end the program (SIGINT from Ctrl-C, SIGTERM, SIGQUIT,
// SIGHUP from a closed terminal) and SIGUSR1 (stop the transmission) are
// taken by the calling thread alone, which waits for them; SIGPIPE is
// ignored. Call before any other thread exists (they inherit the mask).
sigset_t BlockStopSignals();
// Waits up to `timeoutMs` for one of them: its number, 0 when none came.
int WaitForSignal(const sigset_t& signals, int timeoutMs);
// "SIGTERM" and so on.
std::string SignalName(int signo);

}  // namespace sequelo::app
