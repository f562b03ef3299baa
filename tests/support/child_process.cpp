#include "tests/support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <thread>

extern char** environ;

namespace sequelo::testsupport {

std::string FindProgram(const std::string& name) {
  const auto executable = [](const std::string& path) { return ::access(path.c_str(), X_OK) == 0; };
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && executable(dir + "/" + name)) {
      return dir + "/" + name;
    }
  }
  for (const char* known : {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"}) {
    if (executable(std::string(known) + "/" + name)) {
      return std::string(known) + "/" + name;
    }
  }
  return {};
}

int UnusedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return 0;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

pid_t SpawnProgram(std::vector<std::string> args, const std::string& output, bool errorsApart) {
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  if (errorsApart) {
    posix_spawn_file_actions_addopen(&actions, 2, (output + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
  } else {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

bool LaunchOnFreePort(int& port, const std::function<bool()>& launch) {
  if (port != 0) {
    return launch();
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    port = UnusedLoopbackPort();
    if (port != 0 && launch()) {
      return true;
    }
  }
  port = 0;
  return false;
}

void StopProgram(pid_t& pid, std::chrono::steady_clock::duration limit) {
  if (pid <= 0) {
    return;
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  if (!ReapWithin(pid, limit, status)) {
    ::kill(pid, SIGKILL);
    ReapWithin(pid, limit, status);
  }
  pid = -1;
}

bool ReapWithin(pid_t pid, std::chrono::steady_clock::duration limit, int& status) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace sequelo::testsupport
