// The station page's HTTP server: the page's files, the station's state as
// JSON, a stream of its events (Server-Sent Events) and downloads, on one
// thread of its own. Every byte a client sends is taken as hostile: Beast
// parses it within fixed limits, and no client holds more than a bounded
// amount of memory or a connection past its time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace lumbra::page {

struct Limits {
  std::size_t maxClients = 32;             // connections at once, event streams included
  std::size_t maxHeaderBytes = 8 * 1024;   // request line and header fields
  std::size_t maxHeaderFields = 64;
  std::chrono::milliseconds idle{10'000};  // a request must arrive whole within this (also between keep-alive requests)
  std::chrono::milliseconds stalledWrite{30'000};  // a write that takes longer ends the connection
  std::size_t streamBacklogBytes = 256 * 1024;  // unsent bytes per event stream before it is sent a snapshot instead
  std::size_t queuedEvents = 4096;         // published events waiting for the server's thread
  std::chrono::milliseconds keepAlive{15'000};  // a comment line on idle event streams
};

// A download's body in pieces: `next` appends the next piece (up to ~64 KiB)
// to `chunk` and returns false once there is nothing more (it may append a
// last piece and return false).
struct Download {
  std::string contentType;  // "text/csv; charset=utf-8"
  std::string fileName;     // for Content-Disposition: attachment; filename="..."
  std::function<bool(std::string& chunk)> next;
};

// What the server serves beside its embedded files. Called on the server's
// thread only.
class Content {
 public:
  virtual ~Content() = default;
  // The whole state as one JSON object text.
  virtual std::string Snapshot() = 0;
  // A request for a target that is no file of the page
  // ("/records.csv?serial=A1"): its download, or nullopt for 404.
  virtual std::optional<Download> Open(std::string_view target) = 0;
};

// "8080", "127.0.0.1:8080", "0.0.0.0:8080", "[::1]:8080", ":8080" (loopback,
// 127.0.0.1, when no address is given; "localhost" is 127.0.0.1 too). Port 0
// is any free port. Nullopt and `error` when malformed.
struct ListenAddress {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;
};
std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error);
// "127.0.0.1:8080", "[::1]:8080": as a URL names it.
std::string ToString(const ListenAddress& where);

class Server {
 public:
  explicit Server(Content& content, Limits limits = {});
  ~Server();  // Stop()
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens; false and `error` says why, naming the address
  // ("127.0.0.1:8080: Address already in use").
  bool Listen(const ListenAddress& where, std::string& error);
  std::uint16_t Port() const;   // the bound port (after Listen)
  ListenAddress Bound() const;  // the bound address and port (after Listen)
  // Starts the server's one thread. It runs every network operation and
  // every call to Content until Stop(); nothing it does blocks.
  void Start();
  // Closes every connection and joins the thread; idempotent.
  void Stop();
  // From any thread; never waits for the network (only for a short mutex).
  // `json` is one JSON object text, sent to every event stream as one
  // message "data: <json>\n\n".
  void Publish(std::string json);

  // The most bytes the event streams have held at once, waiting to be sent:
  // what slow clients cost (diagnostics, tests).
  std::size_t PeakStreamBytes() const { return peakStreamBytes_; }

 private:
  class Connection;
  struct State;

  void Accept();
  void DrainEvents();

  Content& content_;
  const Limits limits_;
  std::unique_ptr<State> state_;  // the network side, touched on the server's thread

  // Published events on their way to the server's thread.
  std::mutex mutex_;
  std::deque<std::string> events_;
  bool drainPosted_ = false;  // a DrainEvents is on its way; one at a time
  bool overflowed_ = false;   // events were dropped: every stream needs a snapshot

  std::atomic<std::size_t> peakStreamBytes_{0};
  std::thread thread_;
};

}  // namespace lumbra::page
