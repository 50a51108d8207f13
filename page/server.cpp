#include "page/server.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <limits>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "page/assets.h"

#ifdef __linux__
#include <pthread.h>
#endif

namespace lumbra::page {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using ErrorCode = boost::system::error_code;

// How long a connection that ends after its answer goes on reading (and
// dropping) what its client still sends: closing a socket with unread bytes
// resets the connection, and the client could lose the answer.
constexpr std::chrono::milliseconds kLinger{2000};
// After a failed accept (no descriptor left, say), the next one waits this
// long rather than failing again at once.
constexpr std::chrono::milliseconds kAcceptRetry{100};

// One SSE message: a `data:` line per line of `json` (JSON texts are one
// line; a line break in one would otherwise end the message early).
std::string Message(std::string_view json) {
  std::string out;
  out.reserve(json.size() + 8);
  for (;;) {
    const std::size_t end = json.find_first_of("\r\n");
    out.append("data: ").append(json.substr(0, end)).push_back('\n');
    if (end == std::string_view::npos) break;
    const bool pair = json[end] == '\r' && end + 1 < json.size() && json[end + 1] == '\n';
    json.remove_prefix(end + (pair ? 2 : 1));
  }
  out.push_back('\n');
  return out;
}

template <class Buffers>
void Append(std::string& out, const Buffers& buffers) {
  const std::size_t at = out.size();
  out.resize(at + net::buffer_size(buffers));
  net::buffer_copy(net::buffer(out.data() + at, out.size() - at), buffers);
}

// Appends `response` as it goes on the wire to `out`; only its header when
// `headerOnly` (HEAD, and the head of a stream or a download).
template <class Body>
void Serialize(http::response<Body>& response, bool headerOnly, std::string& out) {
  http::response_serializer<Body> serializer{response};
  serializer.split(headerOnly);
  ErrorCode ec;
  while (!ec && !(headerOnly ? serializer.is_header_done() : serializer.is_done())) {
    std::size_t size = 0;
    serializer.next(ec, [&](ErrorCode&, const auto& buffers) {
      size = net::buffer_size(buffers);
      Append(out, buffers);
    });
    if (!ec) serializer.consume(size);
  }
}

// The headers of every answer: no caching, no framing, no guessing of
// types, nothing loaded from elsewhere, no address given away in a link.
template <class Body>
void Harden(http::response<Body>& response, std::string_view cache = "no-store") {
  response.set(http::field::server, "lumbra");
  response.set(http::field::cache_control, cache);
  response.set("Content-Security-Policy", "default-src 'self'");
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Referrer-Policy", "no-referrer");
  response.set(http::field::x_frame_options, "DENY");
}

// A file name fit for a quoted header value: printable ASCII, no quote.
std::string SafeFileName(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') c = '_';
  }
  return out;
}

// Whether a request naming `host` (its Host header) may be answered by a
// server listening on `bound`. On a loopback address only this computer's
// browsers reach the page, and they name it by an address or "localhost";
// any other name is a web page elsewhere that had its own name resolve to
// 127.0.0.1 (DNS rebinding) so as to read the station's records.
bool HostAllowed(std::string_view host, const std::string& bound) {
  ErrorCode ec;
  const net::ip::address listening = net::ip::make_address(bound, ec);
  if (ec || !listening.is_loopback()) return true;
  std::string_view name = host;
  if (name.starts_with('[')) {
    name = name.substr(1, name.find(']') - 1);
  } else {
    name = name.substr(0, name.rfind(':'));
  }
  if (name.empty() || name == "localhost") return true;  // browsers always send a Host
  net::ip::make_address(std::string(name), ec);
  return !ec;
}

}  // namespace

// The network side. Touched on the server's thread only (and by Listen()
// before Start()). The connections are declared before the io_context, so
// that a connection freed with the io_context's handlers still finds them.
struct Server::State {
  std::unordered_set<Connection*> connections;  // open ones, refused ones included
  std::size_t refused = 0;  // those of them answered 503 and closing
  ListenAddress bound;
  net::io_context io{1};
  tcp::acceptor acceptor{io};
  net::steady_timer acceptRetry{io};
};

// One client's connection. Owned by the handlers of its pending operations
// (shared_ptr); listed in State::connections while it is open. A normal
// connection reads a request, writes its answer, and reads the next one;
// an event stream writes from then on; a connection that ends drops what
// its client still sends for a moment (Linger) and closes.
class Server::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server& server, tcp::socket socket, bool refused)
      : server_(server), state_(*server.state_), limits_(server.limits_),
        socket_(std::move(socket)), deadline_(state_.io),
        buffer_(limits_.maxHeaderBytes + 1024), refused_(refused) {
    state_.connections.insert(this);
    if (refused_) ++state_.refused;
  }
  ~Connection() { Close(); }

  void Begin() {
    if (refused_) {
      Fail(http::status::service_unavailable, "Too many clients; try again later.");
    } else {
      ReadRequest();
    }
  }

  bool IsStream() const { return stream_ && !closed_; }
  std::size_t Held() const { return pending_.size() + writing_.size(); }

  // Queues one SSE message, or, when the unsent bytes would pass the
  // backlog, drops them all for a snapshot. The caller calls Next().
  void Event(const std::string& message) {
    if (resync_) return;  // the snapshot to come covers it
    if (Held() + message.size() > limits_.streamBacklogBytes) {
      Resync();
    } else {
      pending_ += message;
    }
  }

  // Sends a snapshot instead of what is queued, once the write in flight
  // (if any) is done. The caller calls Next().
  void Resync() {
    pending_ = std::string();
    resync_ = true;
  }

  // Writes what comes next unless a write is in flight; when nothing is
  // left to write, goes on with what follows a complete answer.
  void Next() {
    if (closed_ || !writing_.empty()) return;
    if (resync_) {
      resync_ = false;
      pending_ = Message(server_.content_.Snapshot());
    }
    if (pending_.empty() && download_) PullChunk();
    if (!pending_.empty()) {
      writing_.swap(pending_);
      Arm(limits_.stalledWrite);
      net::async_write(socket_, net::buffer(writing_),
                       [self = shared_from_this()](ErrorCode ec, std::size_t) {
                         if (self->closed_) return;
                         if (ec) return self->Close();
                         self->writing_.clear();
                         self->Next();
                       });
    } else if (stream_) {
      Arm(limits_.keepAlive);
    } else if (closeAfter_) {
      Linger();
    } else {
      ReadRequest();
    }
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    state_.connections.erase(this);
    if (refused_) --state_.refused;
    ErrorCode ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    deadline_.cancel();
    download_.reset();
    pending_ = std::string();  // writing_ stays until its write's handler has run
  }

 private:
  // The deadline of what the connection waits for: a whole request, a
  // write, the end of lingering, or the next keep-alive line of a stream.
  void Arm(Clock::duration after) {
    deadline_.expires_after(after);
    deadline_.async_wait([self = shared_from_this()](ErrorCode ec) {
      // Aborted when armed again; a wait that ran out just before that is
      // told apart by the new expiry.
      if (ec || self->closed_ || self->deadline_.expiry() > Clock::now()) return;
      if (self->stream_ && self->writing_.empty()) {
        self->pending_ = ": keep-alive\n\n";
        return self->Next();
      }
      self->Close();
    });
  }

  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(
        std::min<std::size_t>(limits_.maxHeaderBytes, std::numeric_limits<std::uint32_t>::max())));
    parser_->body_limit(0);
    Arm(limits_.idle);
    http::async_read_header(socket_, buffer_, *parser_,
                            [self = shared_from_this()](ErrorCode ec, std::size_t) {
                              if (!self->closed_) self->OnRequest(ec);
                            });
  }

  void OnRequest(ErrorCode ec) {
    // Answers to what could not be read are HTTP/1.1, and end the connection.
    version_ = 11;
    head_ = false;
    keepAlive_ = false;
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      return Fail(http::status::request_header_fields_too_large, "Request header too large.");
    }
    // The client left (maybe halfway), the deadline closed the socket, or
    // the network failed: nobody to answer.
    if (ec == http::error::end_of_stream || ec == http::error::partial_message ||
        (ec && ec.category() != http::make_error_code(http::error::bad_method).category())) {
      return Close();
    }
    // A Content-Length past body_limit (0) fails once the header is whole;
    // a chunked body leaves the parser wanting more.
    const bool body = ec == http::error::body_limit || (!ec && !parser_->is_done());
    if (ec && !body) return Fail(http::status::bad_request, "Malformed request.");

    const auto& request = parser_->get();
    version_ = request.version();
    keepAlive_ = request.keep_alive();
    head_ = request.method() == http::verb::head;
    if (static_cast<std::size_t>(std::distance(request.begin(), request.end())) > limits_.maxHeaderFields) {
      return Fail(http::status::request_header_fields_too_large, "Too many header fields.");
    }
    if (request.method() != http::verb::get && !head_) {
      return Fail(http::status::method_not_allowed, "Only GET and HEAD.", "GET, HEAD");
    }
    if (body) return Fail(http::status::payload_too_large, "No request here has a body.");
    const std::string_view target = request.target();
    if (!target.starts_with('/')) return Fail(http::status::bad_request, "Malformed request.");
    if (!HostAllowed(request[http::field::host], state_.bound.address)) {
      return Fail(http::status::misdirected_request, "This page answers to its address or localhost only.");
    }
    const std::string_view path = target.substr(0, target.find('?'));

    if (const auto asset = FindAsset(path)) {
      Answer(http::status::ok, asset->contentType, std::string(asset->body), "no-cache");
    } else if (path == "/state") {
      Answer(http::status::ok, "application/json", server_.content_.Snapshot());
    } else if (path == "/events") {
      BeginStream();
    } else if (auto download = server_.content_.Open(target)) {
      BeginDownload(std::move(*download));
    } else {
      Fail(http::status::not_found, "Not found.", {}, false);
    }
  }

  void Answer(http::status status, std::string_view type, std::string body,
              std::string_view cache = "no-store", std::string_view allow = {}, bool close = false) {
    http::response<http::string_body> response{status, version_};
    Harden(response, cache);
    response.set(http::field::content_type, type);
    if (!allow.empty()) response.set(http::field::allow, allow);
    response.body() = std::move(body);
    response.prepare_payload();
    response.keep_alive(keepAlive_ && !close);
    closeAfter_ = !response.keep_alive();
    Serialize(response, head_, pending_);
    Next();
  }

  // A short text answer; it ends the connection unless `close` is false.
  void Fail(http::status status, std::string_view text, std::string_view allow = {}, bool close = true) {
    Answer(status, "text/plain; charset=utf-8", std::string(text) + "\n", "no-store", allow, close);
  }

  void BeginStream() {
    http::response<http::empty_body> response{http::status::ok, version_};
    Harden(response);
    response.set(http::field::content_type, "text/event-stream");
    if (head_) {
      response.keep_alive(keepAlive_);
      closeAfter_ = !keepAlive_;
      Serialize(response, true, pending_);
      return Next();
    }
    // The stream's body ends when the connection does.
    response.keep_alive(false);
    Serialize(response, true, pending_);
    pending_ += "retry: 2000\n\n";
    pending_ += Message(server_.content_.Snapshot());
    stream_ = true;
    Next();
    DropInput();  // notices the client leaving
  }

  void BeginDownload(Download download) {
    http::response<http::empty_body> response{http::status::ok, version_};
    Harden(response);
    response.set(http::field::content_type, download.contentType);
    response.set(http::field::content_disposition,
                 "attachment; filename=\"" + SafeFileName(download.fileName) + "\"");
    // HTTP/1.0 has no chunks: the body ends with the connection.
    chunked_ = version_ >= 11;
    response.chunked(chunked_);
    response.keep_alive(keepAlive_ && chunked_);
    closeAfter_ = !response.keep_alive();
    Serialize(response, true, pending_);
    if (!head_) download_ = std::move(download);
    Next();
  }

  void PullChunk() {
    std::string piece;
    bool more = true;
    while (piece.empty() && more) more = download_->next(piece);
    if (!piece.empty()) {
      if (chunked_) {
        Append(pending_, http::make_chunk(net::buffer(piece)));
      } else {
        pending_ += piece;
      }
    }
    if (!more) {
      if (chunked_) Append(pending_, http::make_chunk_last());
      download_.reset();
    }
  }

  // Ends the connection once the client has seen the answer: no more from
  // this side, and what the client still sends is dropped until it closes
  // or a short deadline passes.
  void Linger() {
    ErrorCode ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    Arm(std::min<Clock::duration>(limits_.idle, kLinger));
    DropInput();
  }

  void DropInput() {
    socket_.async_read_some(net::buffer(scrap_), [self = shared_from_this()](ErrorCode ec, std::size_t) {
      if (self->closed_) return;
      if (ec) return self->Close();
      self->DropInput();
    });
  }

  Server& server_;
  State& state_;
  const Limits& limits_;
  tcp::socket socket_;
  net::steady_timer deadline_;
  beast::flat_buffer buffer_;  // never more than a header and a bit
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::string writing_;  // the bytes of the write in flight
  std::string pending_;  // the bytes to write after it
  std::optional<Download> download_;
  char scrap_[512];      // what is read only to be dropped
  unsigned version_ = 11;
  bool head_ = false;
  bool keepAlive_ = false;
  bool closeAfter_ = false;
  bool chunked_ = true;
  bool stream_ = false;
  bool resync_ = false;  // a stream's backlog was dropped: a snapshot comes next
  const bool refused_;
  bool closed_ = false;
};

std::string ToString(const ListenAddress& where) {
  const bool v6 = where.address.find(':') != std::string::npos;
  return (v6 ? "[" + where.address + "]" : where.address) + ":" + std::to_string(where.port);
}

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error) {
  const std::string quoted = "\"" + std::string(text) + "\"";
  std::string_view host;
  std::string_view port = text;
  const bool bracketed = text.starts_with('[');
  if (bracketed) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || text.substr(close + 1, 1) != ":") {
      error = quoted + ": an IPv6 address in brackets is followed by :PORT, as in [::1]:8080";
      return std::nullopt;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      error = quoted + ": an IPv6 address goes in brackets, as in [::1]:8080";
      return std::nullopt;
    }
  }
  unsigned number = 0;
  const char* end = port.data() + port.size();
  const auto parsed = std::from_chars(port.data(), end, number);
  if (port.empty() || parsed.ec != std::errc() || parsed.ptr != end || number > 65535) {
    error = quoted + ": the port is not a number from 0 to 65535";
    return std::nullopt;
  }
  ListenAddress result;
  result.port = static_cast<std::uint16_t>(number);
  if (host == "localhost") host = "127.0.0.1";
  if (!host.empty()) {
    ErrorCode ec;
    const std::string name(host);
    result.address = bracketed ? net::ip::make_address_v6(name, ec).to_string()
                               : net::ip::make_address_v4(name, ec).to_string();
    // Windows reads "1.2.3" as 1.2.0.3; only the four numbers are taken.
    if (ec || (!bracketed && result.address != name)) {
      error = quoted + ": " + name + " is not an IP address";
      return std::nullopt;
    }
  }
  return result;
}

Server::Server(Content& content, Limits limits)
    : content_(content), limits_(limits), state_(std::make_unique<State>()) {}

Server::~Server() { Stop(); }

bool Server::Listen(const ListenAddress& where, std::string& error) {
  State& s = *state_;
  const std::string name = ToString(where);
  ErrorCode ec;
  const tcp::endpoint endpoint{net::ip::make_address(where.address, ec), where.port};
  if (ec) {
    error = name + ": not an IP address";
    return false;
  }
  ErrorCode ignored;
  s.acceptor.close(ignored);
  s.acceptor.open(endpoint.protocol(), ec);
#ifdef _WIN32
  // Windows would let another program bind the same port and take over
  // its connections; this one keeps it to itself.
  using Exclusive = net::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
  if (!ec) s.acceptor.set_option(Exclusive(true), ec);
#else
  // A restarted program binds its port again while old connections wait out TIME_WAIT.
  if (!ec) s.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
  if (!ec) s.acceptor.bind(endpoint, ec);
  if (!ec) s.acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    error = name + ": " + ec.message();
    s.acceptor.close(ignored);
    return false;
  }
  const tcp::endpoint local = s.acceptor.local_endpoint(ec);
  s.bound = {local.address().to_string(), local.port()};
  return true;
}

std::uint16_t Server::Port() const { return state_->bound.port; }

ListenAddress Server::Bound() const { return state_->bound; }

void Server::Start() {
  if (thread_.joinable()) return;
  Accept();
  // The server's thread runs every handler of the io_context, and with them
  // every call to Content, until Stop() has closed the acceptor and every
  // connection. A Content call that throws ends only the connection it
  // served (its handler, which owned it, is gone).
  thread_ = std::thread([this] {
#ifdef __linux__
    pthread_setname_np(pthread_self(), "lumbra-page");  // for top -H and the benchmark
#endif
    for (;;) {
      try {
        state_->io.run();
        return;
      } catch (const std::exception&) {
      }
    }
  });
}

void Server::Stop() {
  if (!thread_.joinable()) return;
  net::post(state_->io, [this] {
    State& s = *state_;
    ErrorCode ignored;
    s.acceptor.close(ignored);
    s.acceptRetry.cancel();
    const std::vector<Connection*> open(s.connections.begin(), s.connections.end());
    for (Connection* connection : open) connection->Close();
  });
  thread_.join();
}

void Server::Accept() {
  State& s = *state_;
  if (!s.acceptor.is_open()) return;
  s.acceptor.async_accept([this](ErrorCode ec, tcp::socket socket) {
    State& s = *state_;
    if (!s.acceptor.is_open()) return;  // Stop()
    if (ec) {
      s.acceptRetry.expires_after(kAcceptRetry);
      s.acceptRetry.async_wait([this](ErrorCode ec) {
        if (!ec) Accept();
      });
      return;
    }
    ErrorCode ignored;
    socket.set_option(tcp::no_delay(true), ignored);  // events go out as they come
    // Past maxClients a connection is answered 503 at once; past as many
    // more of those, it is closed without a word.
    const bool full = s.connections.size() - s.refused >= limits_.maxClients;
    if (!full || s.refused < limits_.maxClients) {
      std::make_shared<Connection>(*this, std::move(socket), full)->Begin();
    }
    Accept();
  });
}

void Server::Publish(std::string json) {
  std::lock_guard lock(mutex_);
  if (events_.size() >= limits_.queuedEvents) {
    events_.clear();
    overflowed_ = true;
  } else {
    events_.push_back(std::move(json));
  }
  if (!drainPosted_) {
    drainPosted_ = true;
    net::post(state_->io, [this] { DrainEvents(); });
  }
}

void Server::DrainEvents() {
  std::deque<std::string> events;
  bool overflowed = false;
  {
    std::lock_guard lock(mutex_);
    events.swap(events_);
    std::swap(overflowed, overflowed_);
    drainPosted_ = false;
  }
  std::vector<std::shared_ptr<Connection>> streams;
  for (Connection* connection : state_->connections) {
    if (connection->IsStream()) streams.push_back(connection->shared_from_this());
  }
  if (streams.empty()) return;
  for (const auto& stream : streams) {
    if (overflowed) stream->Resync();
  }
  for (const std::string& json : events) {
    const std::string message = Message(json);
    std::size_t held = 0;
    for (const auto& stream : streams) {
      stream->Event(message);
      held += stream->Held();
    }
    peakStreamBytes_ = std::max<std::size_t>(peakStreamBytes_, held);
  }
  // Snapshots are taken after the whole batch, so that they cover it.
  for (const auto& stream : streams) stream->Next();
}

}  // namespace lumbra::page
