// Programs the tests start and stop by PID (a broker, a radio daemon, their
// command-line tools): finding them, a free loopback port for them, starting
// them with their output in a file, and reaping them within a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace sequelo::testsupport {

// The program's path on PATH or in the usual system folders; empty if none.
std::string FindProgram(const std::string& name);

// A loopback TCP port nobody is bound to now (0 if none could be had).
int UnusedLoopbackPort();

// Starts args[0] (a path) with no input, its output appended to `output`
// and its errors to `output` + ".err" (or to `output` too, with
// `errorsApart` false). -1 when it could not be started.
pid_t SpawnProgram(std::vector<std::string> args, const std::string& output,
                   bool errorsApart = true);

// Runs `launch` on `port`; when `port` is 0, on an unused loopback port,
// trying a few (another test may take one first). `port` stays 0 when none
// would do.
bool LaunchOnFreePort(int& port, const std::function<bool()>& launch);

// Ends `pid` (SIGTERM, then SIGKILL after `limit`) and reaps it; `pid` is
// -1 afterwards. Nothing for a `pid` that is not above 0.
void StopProgram(pid_t& pid, std::chrono::steady_clock::duration limit);

// Reaps `pid` within `limit`, its wait status in `status`; false while it
// has not ended.
bool ReapWithin(pid_t pid, std::chrono::steady_clock::duration limit, int& status);

}  // namespace sequelo::testsupport
