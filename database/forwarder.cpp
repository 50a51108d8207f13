#include "database/forwarder.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "database/schema.h"

namespace lumbra::database {

Forwarder::Forwarder(std::string url, std::string recordFile, Note note, State state, ForwarderTimes times)
    : url_(std::move(url)), file_(std::move(recordFile)), note_(std::move(note)), state_(std::move(state)),
      times_(times), retry_(times.firstRetry), thread_([this] { Run(); }) {}

Forwarder::~Forwarder() { Stop(); }

void Forwarder::Appended() {
  {
    const std::lock_guard lock(mutex_);
    news_ = true;
  }
  wake_.notify_one();
}

void Forwarder::Stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Forwarder::Run() {
  try {
    state_(std::nullopt, "connecting");
    for (bool last = false; !last;) {
      Pass();
      std::unique_lock lock(mutex_);
      const auto deadline = std::chrono::steady_clock::now() + times_.period;
      wake_.wait_until(lock, connection_ ? deadline : std::min(deadline, nextTry_),
                       [this] { return news_ || stopping_; });
      news_ = false;
      last = stopping_;
    }
    // The records of the last moments, when the database is there to take them.
    if (connection_) Pass();
  } catch (const std::exception& e) {
    note_(std::string("database: internal error; records are no longer forwarded: ") + e.what());
  }
}

// One look: (re)connect when it is time, push what the database lacks, tell.
void Forwarder::Pass() {
  std::error_code error;
  if (const auto size = std::filesystem::file_size(file_, error); !error && size < sent_.offset) {
    sent_ = {};  // the file was replaced: the database drops what it has
    scanned_ = 0;
    waiting_ = 0;
  }
  if (!connection_) {
    if (std::chrono::steady_clock::now() < nextTry_) {
      state_(Waiting(), "unreachable");
      return;
    }
    auto connection = std::make_unique<Connection>(url_);
    Problem problem = connection->Failed();
    if (!problem) problem = Migrate(*connection);
    if (problem) return Lost(problem);
    if (!away_ && sent_.offset == 0) note_("records go to the database " + connection->Name() + " too");
    connection_ = std::move(connection);
  }
  const PushReport report = PushFile(*connection_, file_, sent_);
  for (const std::string& warning : report.warnings) note_(warning);
  sent_ = report.next;
  if (report.problem) return Lost(report.problem);
  if (away_) note_("the database " + connection_->Name() + " is back: the records that waited are in it");
  away_ = false;
  retry_ = times_.firstRetry;
  scanned_ = sent_.offset;
  waiting_ = 0;
  state_(0, "connected");
}

void Forwarder::Lost(const Problem& problem) {
  connection_.reset();
  const std::size_t waiting = Waiting();
  if (!away_) {
    note_(problem.text + "; " + std::to_string(waiting) +
          " records wait in the record file, and are sent when it is back");
  }
  away_ = true;
  nextTry_ = std::chrono::steady_clock::now() + retry_;
  retry_ = std::min(retry_ * 2, times_.longestRetry);
  state_(waiting, problem.failure == Failure::kDenied ? "denied" : "unreachable");
}

// The whole lines after the last one the database has: counted on from
// where the last count stopped, so that an hour away costs no more than the
// lines of that hour.
std::size_t Forwarder::Waiting() {
  if (scanned_ < sent_.offset) {
    scanned_ = sent_.offset;
    waiting_ = 0;
  }
  std::ifstream in(file_, std::ios::binary);
  if (!in) return waiting_;
  in.seekg(static_cast<std::streamoff>(scanned_));
  char chunk[64 * 1024];
  for (std::uint64_t start = scanned_; in.read(chunk, sizeof chunk) || in.gcount() > 0;) {
    const char* end = chunk + in.gcount();
    for (const char* at = chunk; (at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr;) {
      ++at;
      ++waiting_;
      scanned_ = start + static_cast<std::uint64_t>(at - chunk);
    }
    start += static_cast<std::uint64_t>(in.gcount());
  }
  return waiting_;
}

}  // namespace lumbra::database
