#include "control/exec_hook.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "core/printable.h"

extern char** environ;

namespace sequelo::control {
namespace {

using Clock = std::chrono::steady_clock;

// Standard error kept for the log line of a failure.
constexpr std::size_t kStderrKept = 200;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string ErrorText(int error) {
  char buffer[128];
  return ::strerror_r(error, buffer, sizeof buffer);  // the GNU form: returns the text
}

std::string DurationText(std::uint32_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A descriptor moved above 0, 1 and 2 (a station started with one of them
// closed would otherwise hand them out), still close-on-exec.
int AboveStdio(int fd) {
  if (fd < 0 || fd > 2) {
    return fd;
  }
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved;
}

bool MakePipe(Fd& read, Fd& write) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  read.Reset(AboveStdio(fds[0]));
  write.Reset(AboveStdio(fds[1]));
  return read.open() && write.open();
}

// The process's environment with the event's variables in place of any of
// the same name.
std::vector<std::string> HookEnvironment(const AlarmEvent& event) {
  const auto vars = AlarmEventEnvironment(event);
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('='));
    if (std::none_of(vars.begin(), vars.end(), [&](const auto& v) { return v.first == name; })) {
      env.emplace_back(entry);
    }
  }
  for (const auto& [name, value] : vars) {
    env.push_back(name + "=" + value);
  }
  return env;
}

std::vector<char*> PointerList(std::vector<std::string>& strings) {
  std::vector<char*> list;
  list.reserve(strings.size() + 1);
  for (std::string& s : strings) {
    list.push_back(s.data());
  }
  list.push_back(nullptr);
  return list;
}

// Sends `sig` to the program's process group (its own children too), or to
// the program alone when it has left the group.
void SignalProgram(pid_t pid, int sig) {
  if (::kill(-pid, sig) != 0) {
    ::kill(pid, sig);
  }
}

// SIGPIPE blocked on this thread while it writes to the program (a write to
// a pipe whose reader has gone raises it on the writing thread); one raised
// meanwhile is taken back before the mask is restored.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeBlock() {
    const timespec none{};
    while (::sigtimedwait(&pipe_, nullptr, &none) == SIGPIPE) {
    }
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
};

std::string ExitText(int status) {
  if (WIFEXITED(status)) {
    return "exit status " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) {
    const char* name = ::sigabbrev_np(WTERMSIG(status));
    return name != nullptr ? std::string("killed by SIG") + name
                           : "killed by signal " + std::to_string(WTERMSIG(status));
  }
  return "exit status unknown";
}

}  // namespace

CommandLineWords SplitCommandLine(std::string_view line) {
  if (line.find('\0') != std::string_view::npos) {
    return {{}, "NUL character"};
  }
  CommandLineWords result;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (IsBlank(c)) {
      if (inWord) {
        result.words.push_back(std::move(word));
        word.clear();
        inWord = false;
      }
      continue;
    }
    inWord = true;
    if (c == '\'') {
      const std::size_t end = line.find('\'', i + 1);
      if (end == std::string_view::npos) {
        return {{}, "unterminated single quote"};
      }
      word.append(line.substr(i + 1, end - i - 1));
      i = end;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i >= line.size()) {
          return {{}, "unterminated double quote"};
        }
        if (line[i] == '"') {
          break;
        }
        if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
          ++i;
        }
        word += line[i];
      }
    } else {
      word += c;
    }
  }
  if (inWord) {
    result.words.push_back(std::move(word));
  }
  if (result.words.empty() || result.words.front().empty()) {
    return {{}, "no program"};
  }
  return result;
}

ExecHookForwarder::ExecHookForwarder(std::string commandLine, core::EventLog& log,
                                     ExecHookOptions options)
    : ExecHookForwarder(SplitCommandLine(commandLine), log, options) {}

ExecHookForwarder::ExecHookForwarder(CommandLineWords split, core::EventLog& log,
                                     ExecHookOptions options)
    : words_(std::move(split.words)),
      error_(std::move(split.error)),
      options_(options),
      delivery_(
          "Exec hook",
          [this](const AlarmEvent& event, std::string& error) { return Run(event, error); }, log,
          options.limits) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ExecHookForwarder::~ExecHookForwarder() {
  Stop();
  if (wakeFd_ >= 0) {
    ::close(wakeFd_);
  }
}

std::string ExecHookForwarder::ConfigError() const {
  return error_.empty() ? std::string() : "Exec hook not used: " + error_ + " in ExecHook";
}

void ExecHookForwarder::Start() {
  if (!Configured()) {
    return;
  }
  std::uint64_t count = 0;
  while (wakeFd_ >= 0 && ::read(wakeFd_, &count, sizeof count) > 0) {
  }
  stopping_ = false;
  delivery_.Start();
}

void ExecHookForwarder::Stop() {
  stopping_ = true;
  if (wakeFd_ >= 0) {
    // Wakes the wait for the program; the counter is far from full.
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t put = ::write(wakeFd_, &one, sizeof one);
  }
  delivery_.Stop();
}

void ExecHookForwarder::OnAlarm(const AlarmEvent& event) {
  if (Configured()) {
    delivery_.OnAlarm(event);
  }
}

bool ExecHookForwarder::Run(const AlarmEvent& event, std::string& error) {
  if (stopping_) {
    error = "stopped at shut-down";
    return false;
  }
  Fd inRead, inWrite, errRead, errWrite;
  if (!MakePipe(inRead, inWrite) || !MakePipe(errRead, errWrite)) {
    error = "cannot start: " + ErrorText(errno);
    return false;
  }

  std::vector<std::string> args = words_;
  std::vector<std::string> env = HookEnvironment(event);
  std::vector<char*> argv = PointerList(args);
  std::vector<char*> envp = PointerList(env);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, inRead.get(), 0);
  ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);
  // Whatever the station holds without close-on-exec stays with the station.
  ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  ::posix_spawnattr_init(&attr);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  ::posix_spawnattr_setsigmask(&attr, &none);
  ::posix_spawnattr_setsigdefault(&attr, &all);  // SIGPIPE and others the station ignores
  ::posix_spawnattr_setpgroup(&attr, 0);
  ::posix_spawnattr_setflags(
      &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const int spawnError = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attr);
  if (spawnError != 0) {
    error = "cannot start: " + ErrorText(spawnError);
    return false;
  }
  inRead.Close();
  errWrite.Close();
  ::fcntl(inWrite.get(), F_SETFL, O_NONBLOCK);
  ::fcntl(errRead.get(), F_SETFL, O_NONBLOCK);
  // Without pidfds (kernels before 5.3) the end of the program is looked
  // for every 10 ms.
  Fd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

  SigpipeBlock sigpipeBlock;
  const std::string input = AlarmEventJson(event) + "\n";
  std::size_t written = 0;
  std::string errText;
  bool errCut = false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(options_.timeoutMs);
  Clock::time_point killAt{};
  bool termSent = false;
  bool killSent = false;
  bool timedOut = false;
  int status = 0;
  bool lost = false;
  // Reads what there is of standard error, keeping the first bytes; false
  // when nothing more came.
  const auto readErr = [&] {
    char buffer[512];
    const ssize_t got = ::read(errRead.get(), buffer, sizeof buffer);
    if (got > 0) {
      const std::size_t room = kStderrKept - errText.size();
      errText.append(buffer, std::min(room, static_cast<std::size_t>(got)));
      errCut = errCut || static_cast<std::size_t>(got) > room;
      return true;
    }
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      errRead.Close();
    }
    return false;
  };

  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      break;
    }
    if (r < 0 && errno != EINTR) {
      lost = true;  // reaped elsewhere (SIGCHLD set to SIG_IGN)
      break;
    }
    const auto now = Clock::now();
    if (!termSent && (now >= deadline || stopping_)) {
      SignalProgram(pid, SIGTERM);
      termSent = true;
      timedOut = now >= deadline;
      killAt = now + std::chrono::milliseconds(options_.killAfterMs);
    } else if (termSent && !killSent && now >= killAt) {
      SignalProgram(pid, SIGKILL);
      killSent = true;
    }

    pollfd fds[4];
    nfds_t n = 0;
    int inIndex = -1;
    int errIndex = -1;
    if (inWrite.open()) {
      inIndex = static_cast<int>(n);
      fds[n++] = {inWrite.get(), POLLOUT, 0};
    }
    if (errRead.open()) {
      errIndex = static_cast<int>(n);
      fds[n++] = {errRead.get(), POLLIN, 0};
    }
    if (exited.open()) {
      fds[n++] = {exited.get(), POLLIN, 0};
    }
    if (!termSent && wakeFd_ >= 0) {
      fds[n++] = {wakeFd_, POLLIN, 0};
    }
    const auto next = killSent ? now + std::chrono::seconds(1) : termSent ? killAt : deadline;
    auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    waitMs = std::clamp<decltype(waitMs)>(waitMs, 0, exited.open() ? 1000 : 10);
    ::poll(fds, n, static_cast<int>(waitMs));

    if (inIndex >= 0 && fds[inIndex].revents != 0) {
      const ssize_t put = ::write(inWrite.get(), input.data() + written, input.size() - written);
      if (put > 0) {
        written += static_cast<std::size_t>(put);
      }
      // All written (end of input for the program), or the program does not
      // read it (EPIPE): either way nothing more to write.
      if (written == input.size() || (put < 0 && errno != EAGAIN && errno != EINTR)) {
        inWrite.Close();
      }
    }
    if (errIndex >= 0 && fds[errIndex].revents != 0) {
      readErr();
    }
  }
  // What the program wrote before it ended may be in the pipe still; a
  // child it left behind may hold the pipe open and go on writing: no
  // waiting for its end, and a few reads at most.
  for (int i = 0; i < 16 && errRead.open() && readErr(); ++i) {
  }

  if (!lost && !termSent && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    return true;
  }
  if (timedOut) {
    error = "killed after " + DurationText(options_.timeoutMs) + " time-out";
  } else if (termSent) {
    error = "stopped at shut-down";
  } else {
    error = lost ? "exit status unknown" : ExitText(status);
  }
  while (!errText.empty() && IsBlank(errText.back())) {
    errText.pop_back();
  }
  if (!errText.empty()) {
    error += ": " + core::Printable(errText) + (errCut ? "..." : "");
  }
  return false;
}

}  // namespace sequelo::control
