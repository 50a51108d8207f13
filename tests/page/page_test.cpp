// The station page's server over real TCP connections: its routes and
// headers, what it refuses, its limits, its event streams and downloads.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>
#include <list>

#include "page/server.h"

namespace lumbra::page {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

class FakeContent : public Content {
 public:
  std::atomic<int> version{0};
  std::string Snapshot() override { return R"({"snapshot":)" + std::to_string(version) + "}"; }
  // "/records.csv...": three pieces, the first naming the target.
  std::optional<Download> Open(std::string_view target) override {
    if (!target.starts_with("/records.csv")) return std::nullopt;
    auto left = std::make_shared<int>(3);
    return Download{"text/csv; charset=utf-8", "rec\"ords.csv", [left, first = std::string(target)](std::string& chunk) {
                      chunk += *left == 3 ? first + "\n" : "row" + std::to_string(*left - 1) + "\n";
                      return --*left > 0;
                    }};
  }
};

// A raw client. Every read gives up after 20 s, so that a fault fails the
// test rather than hanging it.
struct Client {
  net::io_context io;
  tcp::socket socket{io};
  std::string got;
  bool closed = false;  // the server closed (or reset) the connection

  explicit Client(std::uint16_t port) { socket.connect({net::ip::address_v4::loopback(), port}); }
  Client& Send(std::string_view text) {
    boost::system::error_code ignored;  // the server may have closed already
    net::write(socket, net::buffer(text), ignored);
    return *this;
  }
  // Reads until `text` has come (empty: until the connection closes).
  bool ReadUntil(std::string_view text = {}) {
    const auto until = std::chrono::steady_clock::now() + 20s;
    std::size_t from = 0;
    while (!closed && (text.empty() || got.find(text, from) == std::string::npos)) {
      from = got.size() > text.size() ? got.size() - text.size() : 0;
      char buffer[65536];
      bool done = false;
      socket.async_read_some(net::buffer(buffer), [&](boost::system::error_code ec, std::size_t n) {
        got.append(buffer, n);
        closed = ec.failed();
        done = true;
      });
      io.restart();
      io.run_until(until);
      if (!done) {
        socket.cancel();
        io.restart();
        io.run();
        return false;
      }
    }
    return text.empty() || got.find(text) != std::string::npos;
  }
};

std::string Request(std::string_view method, std::string_view target, std::string_view more = "") {
  return std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: localhost:8080\r\n" + std::string(more) + "\r\n";
}

// One request on a connection of its own, and all that comes back until the server closes it.
std::string Exchange(std::uint16_t port, const std::string& request) {
  Client client(port);
  client.Send(request);
  EXPECT_TRUE(client.ReadUntil());
  return client.got;
}

struct Page {
  FakeContent content;
  Server server;
  explicit Page(Limits limits = {}, ListenAddress where = {}) : server(content, limits) {
    std::string error;
    EXPECT_TRUE(server.Listen(where, error)) << error;
    server.Start();
  }
  std::uint16_t port() const { return server.Port(); }
};

TEST(PageTest, RoutesHeadersAndMethods) {
  Page page;
  Client client(page.port());
  // Pipelined on one kept-alive connection, answered in order.
  client.Send(Request("GET", "/") + Request("HEAD", "/app.js?v=2") + Request("GET", "/state") +
              Request("GET", "/nothing", "Connection: close\r\n"));
  ASSERT_TRUE(client.ReadUntil());
  std::vector<std::string> answers;
  for (std::size_t at = 0, next; at < client.got.size(); at = next) {
    next = client.got.find("HTTP/1.1 ", at + 1);
    answers.push_back(client.got.substr(at, next - at));
  }
  ASSERT_EQ(answers.size(), 4u) << client.got;
  EXPECT_TRUE(answers[0].starts_with("HTTP/1.1 200 OK\r\n"));
  const std::size_t body = answers[0].find("\r\n\r\n") + 4;
  EXPECT_EQ(answers[0].substr(body, 15), "<!doctype html>");
  EXPECT_NE(answers[0].find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(answers[0].find("Content-Length: " + std::to_string(answers[0].size() - body) + "\r\n"),
            std::string::npos);
  EXPECT_NE(answers[1].find("Content-Type: text/javascript; charset=utf-8\r\n"), std::string::npos);
  EXPECT_TRUE(answers[1].ends_with("\r\n\r\n"));  // HEAD: no body
  EXPECT_NE(answers[2].find("Content-Type: application/json\r\n"), std::string::npos);
  EXPECT_TRUE(answers[2].ends_with("\r\n\r\n{\"snapshot\":0}")) << answers[2];
  EXPECT_TRUE(answers[3].starts_with("HTTP/1.1 404 Not Found\r\n"));
  for (const std::string& answer : answers) {
    for (const char* header : {"Server: lumbra\r\n", "Content-Security-Policy: default-src 'self'\r\n",
                               "X-Content-Type-Options: nosniff\r\n", "Referrer-Policy: no-referrer\r\n",
                               "X-Frame-Options: DENY\r\n", "Cache-Control: no-"}) {
      EXPECT_NE(answer.find(header), std::string::npos) << header << " in " << answer;
    }
  }
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS"}) {
    const std::string answer = Exchange(page.port(), Request(method, "/state", "Content-Length: 2\r\n") + "{}");
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 405 Method Not Allowed\r\n")) << answer;
    EXPECT_NE(answer.find("Allow: GET, HEAD\r\n"), std::string::npos);
  }
}

// Each of these is answered with its status and the connection closed.
TEST(PageTest, RefusesWhatPassesTheLimits) {
  Page page(Limits{.maxHeaderBytes = 1024, .maxHeaderFields = 8});
  std::string fields;
  for (int i = 0; i < 9; ++i) fields += "X-" + std::to_string(i) + ": 1\r\n";
  const struct {
    std::string request, status;
  } rows[] = {
      {Request("GET", "/", "Cookie: " + std::string(100'000, 'a') + "\r\n"), "431"},
      {Request("GET", "/", fields), "431"},
      {Request("GET", "/state", "Content-Length: 5\r\n") + "hello", "413"},
      {Request("GET", "/state", "Transfer-Encoding: chunked\r\n") + "5\r\nhello\r\n0\r\n\r\n", "413"},
      {"GET / HTTP/1.1\r\nHost t\r\n\r\n", "400"},
      {"GET http://t/ HTTP/1.1\r\nHost: t\r\n\r\n", "400"},
      {"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", "400"},  // TLS, by mistake
      {"GET / HTTP/1.1\r\nHost: station.example:8080\r\n\r\n", "421"},  // a name rebound to loopback
  };
  for (const auto& row : rows) {
    EXPECT_TRUE(Exchange(page.port(), row.request).starts_with("HTTP/1.1 " + row.status)) << row.request.substr(0, 60);
  }
}

TEST(PageTest, OneClientPastTheMostIsAnswered503AtOnce) {
  Page page;
  std::list<Client> clients;
  for (int i = 0; i < 32; ++i) clients.emplace_back(page.port());
  Client extra(page.port());
  EXPECT_TRUE(extra.ReadUntil());
  EXPECT_TRUE(extra.got.starts_with("HTTP/1.1 503 ")) << extra.got;
  clients.front().Send(Request("GET", "/state"));
  EXPECT_TRUE(clients.front().ReadUntil("{\"snapshot\":0}"));
}

// A slow client, or a hundred silent ones, hold nothing for long; Publish
// does not wait for them.
TEST(PageTest, SilentClientsTimeOut) {
  Page page(Limits{.idle = 200ms});
  Client slow(page.port());
  slow.Send("GET / HTTP/1.1\r\n");
  EXPECT_TRUE(slow.ReadUntil());
  EXPECT_EQ(slow.got, "");

  std::list<Client> silent;
  for (int i = 0; i < 100; ++i) silent.emplace_back(page.port());
  for (int i = 0; i < 10'000; ++i) page.server.Publish(R"({"n":1})");
  const auto until = std::chrono::steady_clock::now() + 20s;
  std::string answer;
  while (!answer.starts_with("HTTP/1.1 200") && std::chrono::steady_clock::now() < until) {
    answer = Exchange(page.port(), Request("GET", "/state", "Connection: close\r\n"));
  }
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << answer;
}

TEST(PageTest, ListensOnLoopbackUnlessTold) {
  std::string error;
  const auto where = ParseListenAddress("0", error);
  ASSERT_TRUE(where) << error;
  Page page(Limits{}, *where);
  EXPECT_EQ(page.server.Bound().address, "127.0.0.1");
  EXPECT_TRUE(Exchange(page.port(), Request("GET", "/", "Connection: close\r\n")).starts_with("HTTP/1.1 200"));
  // The machine's other addresses: its name's, and the one it would send
  // from (a UDP socket's connect only picks a route).
  net::io_context io;
  boost::system::error_code ec;
  std::vector<net::ip::address> others;
  for (const auto& entry : tcp::resolver(io).resolve(net::ip::host_name(), "", ec)) others.push_back(entry.endpoint().address());
  net::ip::udp::socket probe(io);
  probe.open(net::ip::udp::v4(), ec);
  probe.connect({net::ip::make_address("198.51.100.1"), 9}, ec);
  if (!ec) others.push_back(probe.local_endpoint().address());
  for (const auto& address : others) {
    if (address.is_loopback() || address.is_unspecified()) continue;
    tcp::socket socket(io);
    socket.connect({address, page.port()}, ec);
    EXPECT_TRUE(ec) << address.to_string() << " reached the page";
  }
  Server second(page.content);
  EXPECT_FALSE(second.Listen(page.server.Bound(), error));
  EXPECT_TRUE(error.starts_with("127.0.0.1:" + std::to_string(page.port()) + ": ")) << error;
}

TEST(PageTest, EventStreamSendsTheSnapshotThenEventsInOrder) {
  Page page(Limits{.keepAlive = 100ms});
  Client stream(page.port());
  stream.Send(Request("GET", "/events"));
  ASSERT_TRUE(stream.ReadUntil("data: {\"snapshot\":0}\n\n"));
  EXPECT_NE(stream.got.find("Content-Type: text/event-stream\r\n"), std::string::npos);
  EXPECT_NE(stream.got.find("Cache-Control: no-store\r\n"), std::string::npos);
  EXPECT_TRUE(stream.got.ends_with("\r\n\r\nretry: 2000\n\ndata: {\"snapshot\":0}\n\n"));
  stream.got.clear();
  for (const char* event : {R"({"n":1})", R"({"n":2})", "{\"a\":\r\n1}"}) page.server.Publish(event);
  ASSERT_TRUE(stream.ReadUntil("data: 1}\n\n"));
  EXPECT_EQ(stream.got, "data: {\"n\":1}\n\ndata: {\"n\":2}\n\ndata: {\"a\":\ndata: 1}\n\n");
  EXPECT_TRUE(stream.ReadUntil(": keep-alive\n\n"));
}

// A stream that reads nothing while a flood is published: its backlog is
// dropped for a snapshot, which comes once it reads again, then new events.
TEST(PageTest, StalledStreamGetsASnapshotInsteadOfItsBacklog) {
  const Limits limits{.keepAlive = 200ms};
  Page page(limits);
  Client stream(page.port());
  stream.Send(Request("GET", "/events"));
  ASSERT_TRUE(stream.ReadUntil("data: {\"snapshot\":0}\n\n"));
  page.content.version = 1;
  const std::string padding(8000, 'x');
  for (int i = 0; i < 10'000; ++i) page.server.Publish(R"({"n":)" + std::to_string(i) + R"(,"x":")" + padding + "\"}");
  ASSERT_TRUE(stream.ReadUntil("data: {\"snapshot\":1}\n\n"));
  EXPECT_GT(page.server.PeakStreamBytes(), 0u);
  EXPECT_LE(page.server.PeakStreamBytes(), limits.streamBacklogBytes);
  // Caught up once idle: its keep-alive line after the snapshot.
  stream.got.erase(0, stream.got.find("data: {\"snapshot\":1}\n\n"));
  ASSERT_TRUE(stream.ReadUntil(": keep-alive\n\n"));
  stream.got.clear();
  page.server.Publish(R"({"later":1})");
  ASSERT_TRUE(stream.ReadUntil("data: {\"later\":1}\n\n"));
  EXPECT_EQ(stream.got, "data: {\"later\":1}\n\n");
}

TEST(PageTest, DownloadComesInChunks) {
  Page page;
  const std::string answer = Exchange(page.port(), Request("GET", "/records.csv?serial=A1", "Connection: close\r\n"));
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer;
  EXPECT_NE(answer.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_NE(answer.find("Content-Disposition: attachment; filename=\"rec_ords.csv\"\r\n"), std::string::npos);
  EXPECT_TRUE(answer.ends_with("\r\n\r\n17\r\n/records.csv?serial=A1\n\r\n5\r\nrow1\n\r\n5\r\nrow0\n\r\n0\r\n\r\n"))
      << answer;
  const std::string head = Exchange(page.port(), Request("HEAD", "/records.csv", "Connection: close\r\n"));
  EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK\r\n") && head.ends_with("\r\n\r\n")) << head;
  EXPECT_NE(head.find("chunked\r\n"), std::string::npos);
}

TEST(PageTest, ParsesListenAddresses) {
  const struct {
    const char* text;
    const char* address;  // nullptr: malformed
    std::uint16_t port;
  } rows[] = {
      {"8080", "127.0.0.1", 8080}, {"0", "127.0.0.1", 0},       {":8080", "127.0.0.1", 8080},
      {"0.0.0.0:80", "0.0.0.0", 80}, {"[::1]:80", "::1", 80},    {"localhost:1", "127.0.0.1", 1},
      {"99999", nullptr, 0},       {"abc", nullptr, 0},         {"1.2.3.4:", nullptr, 0},
      {"", nullptr, 0},            {"::1:80", nullptr, 0},      {"[::1]", nullptr, 0},
      {"1.2.3:80", nullptr, 0},    {"-1", nullptr, 0},          {"80 ", nullptr, 0},
      {"[1.2.3.4]:80", nullptr, 0},
  };
  for (const auto& row : rows) {
    std::string error;
    const auto parsed = ParseListenAddress(row.text, error);
    EXPECT_EQ(parsed.has_value(), row.address != nullptr) << row.text;
    if (parsed && row.address) {
      EXPECT_EQ(parsed->address, row.address);
      EXPECT_EQ(parsed->port, row.port);
    } else if (!parsed) {
      EXPECT_NE(error.find(row.text), std::string::npos) << error;
    }
  }
}

}  // namespace
}  // namespace lumbra::page
