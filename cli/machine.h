// What lumbra-cli needs of the system it runs on: its HID platform, the
// console, the timer and Ctrl-C. One implementation for POSIX, one for Windows.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "link/hid_platform.h"

namespace lumbra::cli {

// Ctrl-C and SIGTERM, counted. Controller threads stop after their current
// step at the first request; the second one runs the action registered for
// it (the records of the controllers still running), after which
// InterruptRouting exits. Request is for ordinary threads, never for a signal
// handler.
class StopSignal {
 public:
  using Action = std::function<void()>;

  int Request();
  bool Requested() const { return requests_.load() > 0; }
  // Sleeps up to `timeout`, less once a stop is requested; true when it was.
  bool WaitFor(std::chrono::milliseconds timeout) const;
  // What the second request does before the program exits; an empty action
  // unregisters, and waits for a running one to finish.
  void OnSecondRequest(Action action);

  // The run has ended, every record written: what a console closing waits for.
  void Ended();
  bool WaitEnded(std::chrono::milliseconds timeout) const;

 private:
  std::atomic<int> requests_{0};
  bool ended_ = false;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::mutex actionMutex_;  // held while the action runs
  Action action_;
};

inline int StopSignal::Request() {
  int count = 0;
  {
    const std::lock_guard lock(mutex_);
    count = ++requests_;
  }
  changed_.notify_all();
  if (count == 2) {
    const std::lock_guard lock(actionMutex_);
    if (action_) action_();
  }
  return count;
}

inline bool StopSignal::WaitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return Requested(); });
}

inline void StopSignal::OnSecondRequest(Action action) {
  const std::lock_guard lock(actionMutex_);
  action_ = std::move(action);
}

inline void StopSignal::Ended() {
  {
    const std::lock_guard lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

inline bool StopSignal::WaitEnded(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return ended_; });
}

// The machine's HID devices: hidapi (hidraw) on Linux, SetupAPI and the HID
// library on Windows.
std::unique_ptr<link::HidPlatform> MachinePlatform();

// True when standard output is a terminal that takes cursor movements. Asks
// only; EnableTerminalSequences must have been called first on Windows.
bool StdoutIsTerminal();
// Lets the Windows console take escape sequences (Windows 10 and later).
void EnableTerminalSequences();
// The terminal's width in columns; 0 when unknown or not a terminal.
int TerminalColumns();

// Sleeps as short as the pace asks: Windows' timer ticks every 15.6 ms
// unless asked for 1 ms, as the dialog does. Nothing elsewhere.
void UsePreciseTimer();

// Routes Ctrl-C and SIGTERM (Windows: the console's control events) to
// `stop` while it lives; a second one exits with kExitInterrupted once the
// second request's action has run. POSIX: construct it before any other
// thread, which then all inherit the blocked signals.
class InterruptRouting {
 public:
  explicit InterruptRouting(StopSignal& stop);
  ~InterruptRouting();
  InterruptRouting(const InterruptRouting&) = delete;
  InterruptRouting& operator=(const InterruptRouting&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumbra::cli
