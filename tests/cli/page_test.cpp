// watch --http: the station page's state and downloads as a browser gets
// them, over a real socket, while stalled clients hold connections.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/page_feed.h"
#include "emulator/emulated_hid_platform.h"
#include "support/awaited_output.h"
#include "transfer/firmware_image.h"

namespace lumbra::cli {
namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using net::ip::tcp;
using nlohmann::json;


struct Reply {
  int status = 0;  // 0: no answer
  std::string body;
};

Reply Get(std::uint16_t port, const std::string& target) {
  net::io_context io;
  tcp::socket socket(io);
  boost::system::error_code error;
  socket.connect({net::ip::make_address("127.0.0.1"), port}, error);
  http::request<http::empty_body> request{http::verb::get, target, 11};
  request.set(http::field::host, "127.0.0.1");
  if (!error) http::write(socket, request, error);
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> response;
  if (!error) http::read(socket, buffer, response, error);
  return error ? Reply{} : Reply{static_cast<int>(response.result_int()), response.body()};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const std::string kHostile = "<img src=x onerror=alert(1)>";

// Three slots, one controller failing and one with a serial number that
// looks like markup, a hundred clients that connect and send nothing: the
// flashing ends as without them, and the page's state, search and downloads
// tell each controller by its slot with the serial number as it is.
TEST(PageTest, WatchServesTheStationWhileClientsStall) {
  const std::string dir = ::testing::TempDir() + "page_test_";
  const std::string station = dir + "station.json", report = dir + "records.jsonl";
  std::remove(report.c_str());
  std::ofstream(station) << R"({"name": "line 3", "target": 1, "slots": [{"label": "A", "port": "emulated-port:0"},
      {"label": "B", "port": "emulated-port:1"}, {"label": "C", "port": "emulated-port:2"}]})";
  testsupport::AwaitedOutput out, err;
  std::ostream outStream(&out), errStream(&err);
  StopSignal stop;
  int code = -1;
  std::thread watch([&] {
    const std::vector<std::string> args = {"watch", "--simulate", "ok,stuck,ok:" + kHostile, "--pace", "0",
                                           "--station", station, "--report", report, "--http",
                                           "127.0.0.1:0", "--json"};
    code = RunCli(args, nullptr, Io{outStream, errStream}, stop);
  });
  const std::string said = "station page at http://127.0.0.1:";
  ASSERT_TRUE(err.Await(said)) << err.Text();
  const auto port = static_cast<std::uint16_t>(std::stoi(err.Text().substr(err.Text().find(said) + said.size())));
  net::io_context io;
  std::vector<tcp::socket> stalled;
  for (int i = 0; i < 100; ++i) {
    stalled.emplace_back(io).connect({net::ip::make_address("127.0.0.1"), port});
  }
  EXPECT_TRUE(out.Await(R"("event":"result")", 3)) << out.Text();
  for (tcp::socket& socket : stalled) socket.close();

  // The console tells a result just before the page has it: asked until every
  // tile is done (or 10 s), while the freed connections close.
  Reply state;
  const auto done = [&] { return state.status == 200 && state.body.find(R"("state":"running")") == std::string::npos; };
  for (int i = 0; i < 100 && !done(); ++i) {
    state = Get(port, "/state");
    if (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(state.status, 200);
  const json snapshot = json::parse(state.body);
  const bool standIn = transfer::FirmwareImage::IsStandIn();  // refuses all but the virtual controller
  const std::vector<std::string> verdicts = {"verified", "verify failed", standIn ? "refused" : "verified"};
  ASSERT_EQ(snapshot["tiles"].size(), 3u) << state.body;
  for (std::size_t i = 0; i < 3; ++i) {
    const json& tile = snapshot["tiles"][i];
    EXPECT_EQ(tile["slot"], std::string(1, static_cast<char>('A' + i)));
    EXPECT_EQ(tile["state"], "done");
    EXPECT_EQ(tile["verdict"], verdicts[i]);
  }
  EXPECT_EQ(snapshot["tiles"][2]["serial"], kHostile);
  EXPECT_EQ(snapshot["counters"]["since_start"]["verified"], standIn ? 1 : 2);
  EXPECT_EQ(snapshot["counters"]["target_reached"], true);
  EXPECT_EQ(snapshot["records"].size(), 3u);

  const std::vector<std::string> csv = Lines(Get(port, "/records.csv").body);
  ASSERT_EQ(csv.size(), 4u);
  EXPECT_THAT(csv[0], ::testing::StartsWith("record_id,station,slot,port,"));
  EXPECT_EQ(std::count_if(csv.begin(), csv.end(), [](const std::string& row) {
              return row.find(",line 3,C,emulated-port:2,emulated:2," + kHostile + ",") != std::string::npos;
            }), 1);
  const std::vector<std::string> found = Lines(Get(port, "/records.jsonl?serial=IMG%20SRC&last=5").body);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(json::parse(found[0])["slot"], "C");
  EXPECT_EQ(Get(port, "/records.txt").status, 404);

  stop.Request();
  watch.join();
  EXPECT_EQ(code, standIn ? kExitNoController : kExitVerifyFailed);
}

// An address the page cannot have ends watch before any controller is
// flashed: 74 when it is taken, 64 when it is no address.
TEST(PageTest, AddressRefusedBeforeAnyController) {
  net::io_context io;
  tcp::acceptor taken(io, {net::ip::make_address("127.0.0.1"), 0});
  const std::string inUse = "127.0.0.1:" + std::to_string(taken.local_endpoint().port());
  for (const auto& [address, code] : {std::pair{inUse, kExitRecordFailed}, {"99999", kExitUsage}}) {
    emulator::EmulatedHidPlatform platform;
    platform.AddController();
    std::ostringstream out, err;
    StopSignal stop;
    const std::vector<std::string> args = {"watch", "--http", address};
    EXPECT_EQ(RunCli(args, &platform, Io{out, err}, stop), code) << err.str();
    EXPECT_THAT(err.str(), ::testing::HasSubstr(address));
    EXPECT_EQ(platform.Counters(0).opens, 0u);
  }
}

// A field a spreadsheet would run as a formula, or that holds the separator,
// a quote or a line end, stays one inert field.
TEST(PageTest, CsvFieldsStayFields) {
  const std::string row = CsvRow({{"serial", "=HYPERLINK(\"x\")"}, {"device", "a,b\r\nc"}, {"resends", {1, 2}}});
  EXPECT_THAT(row, ::testing::HasSubstr(R"x(,"a,b)x" "\r\n" R"x(c","'=HYPERLINK(""x"")",)x"));
  EXPECT_THAT(row, ::testing::HasSubstr(",3,"));
  const std::string header = CsvHeader();
  EXPECT_EQ(std::count(header.begin(), header.end(), ','), std::count(row.begin(), row.end(), ',') - 1);
}

// watch --db: the database's state reaches the page as an event and in
// every snapshot after it, and not before.
TEST(PageTest, DatabaseStateInEventsAndSnapshots) {
  station::Station station;
  PageFeed feed(station, std::nullopt, 0);
  std::vector<std::string> events;
  feed.SetPublisher([&](std::string event) { events.push_back(std::move(event)); });
  EXPECT_FALSE(json::parse(feed.Snapshot()).contains("database"));
  feed.Database(12, "unreachable");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(json::parse(events[0])["database"], json({{"waiting", 12}, {"state", "unreachable"}}));
  EXPECT_EQ(json::parse(feed.Snapshot())["database"], json({{"waiting", 12}, {"state", "unreachable"}}));
}

}  // namespace
}  // namespace lumbra::cli
