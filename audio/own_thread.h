// Starting and stopping the one thread a component owns: the thread runs
// while `running` is set (read under `mutex`), and waits on `changed` for
// work or for the end.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace sequelo::audio {

// Starts `body` on `thread` once; a second Start, or one after Stop, does
// nothing.
inline void StartOwnThread(std::mutex& mutex, bool& running, std::thread& thread,
                           std::function<void()> body) {
  std::lock_guard lock(mutex);
  if (!running && !thread.joinable()) {
    running = true;
    thread = std::thread(std::move(body));
  }
}

// Clears `running`, wakes the thread and waits for it to end; nothing when
// it never started or has been stopped.
inline void StopOwnThread(std::mutex& mutex, bool& running, std::condition_variable& changed,
                          std::thread& thread) {
  {
    std::lock_guard lock(mutex);
    if (!thread.joinable()) {
      return;
    }
    running = false;
  }
  changed.notify_all();
  thread.join();
}

}  // namespace sequelo::audio
