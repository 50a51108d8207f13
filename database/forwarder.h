// watch --db: sends the station's new records to the line's database, on a
// thread of its own, while the controllers are flashed. The record file is
// the source of truth: the forwarder keeps no record in memory, only the
// place in the file up to which the database has everything, so it stays
// the same size however long the database is away.
//
// Thread contract: the constructor starts the thread; Appended() may be
// called from any thread and only sets a flag (it never waits for the
// database); Stop() (or the destructor) makes one last push when connected,
// and joins the thread. The callbacks run on the forwarder's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "database/push.h"

namespace lumbra::database {

struct ForwarderTimes {
  std::chrono::milliseconds firstRetry{1000};    // after the database was lost; doubles
  std::chrono::milliseconds longestRetry{60000};
  std::chrono::milliseconds period{30000};       // a look at the file without news
};

class Forwarder {
 public:
  // A line for stderr.
  using Note = std::function<void(const std::string& text)>;
  // The records waiting in the file (nullopt: not known yet) and the state:
  // "connecting", "connected", "unreachable" or "denied".
  using State = std::function<void(std::optional<std::size_t> waiting, const std::string& state)>;

  Forwarder(std::string url, std::string recordFile, Note note, State state, ForwarderTimes times = {});
  ~Forwarder();
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  // A record was appended to the file (and is on the disk).
  void Appended();
  void Stop();

 private:
  void Run();
  void Pass();
  void Lost(const Problem& problem);
  std::size_t Waiting();

  const std::string url_;
  const std::string file_;
  const Note note_;
  const State state_;
  const ForwarderTimes times_;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool news_ = false;      // under mutex_
  bool stopping_ = false;  // under mutex_

  // The forwarder's thread alone.
  std::unique_ptr<Connection> connection_;
  FilePosition sent_;                   // the database has every record before it
  std::uint64_t scanned_ = 0;           // waiting_ counts the line ends up to here
  std::size_t waiting_ = 0;
  bool away_ = false;                   // the loss was told, the return not yet
  std::chrono::milliseconds retry_;
  std::chrono::steady_clock::time_point nextTry_{};

  std::thread thread_;  // last: starts once the rest is made
};

}  // namespace lumbra::database
