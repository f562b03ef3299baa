// A private rigctld (Hamlib's radio daemon) for tests: the dummy radio
// (model 1, keyed by CAT) served on 127.0.0.1 at a free port, started and
// stopped by PID, its log in a folder of its own under the temporary
// directory. A restart keeps the port, as a daemon that went away and came
// back does. And rigctl, run as a child process, reads the radio's PTT as
// another program sharing the daemon would.
#pragma once

#include <sys/types.h>

#include <string>

namespace sequelo::testsupport {

class Rigctld {
 public:
  Rigctld() = default;
  ~Rigctld();
  Rigctld(const Rigctld&) = delete;
  Rigctld& operator=(const Rigctld&) = delete;

  // The path of a Hamlib program ("rigctld", "rigctl"); empty when it is not
  // installed.
  static std::string Program(const std::string& name);

  // Starts it and waits (5 s at most) until it takes connections; the first
  // start picks the port, later ones reuse it. False with Error() on failure.
  bool Start();
  // SIGTERM, then SIGKILL if it has not ended within 5 s.
  void Stop();
  // SIGKILL at once (a daemon that dies), reaped.
  void Kill();
  bool Running() const { return pid_ > 0; }

  int Port() const { return port_; }
  // "127.0.0.1:<port>", as HamlibPort names it.
  std::string Address() const;
  const std::string& Error() const { return error_; }
  std::string Log() const;

  // `rigctl -m 2 -r <address> t`: the PTT the daemon reports, 1 or 0; -1
  // when rigctl failed or did not end within 5 s.
  int ReadPttWithRigctl();

 private:
  bool Launch();
  int RunRigctl();  // one run of rigctl: 1, 0 or -1

  std::string folder_;
  pid_t pid_ = -1;
  int port_ = 0;
  int reads_ = 0;
  std::string error_;
};

}  // namespace sequelo::testsupport
