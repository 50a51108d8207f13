// lumbra-cli on the emulated platform: verdicts, exit codes, JSON lines and
// records, several controllers at once, the choice of controller, watch and
// interrupts. Downloads are judged by the emulated flash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/options.h"
#include "emulator/emulated_hid_platform.h"
#include "transfer/firmware_image.h"

namespace lumbra::cli {
namespace {

using emulator::Fault;
using nlohmann::json;

// The keys every event of a kind carries (docs/cli.md).
const std::map<std::string, std::set<std::string>> kSchema = {
    {"status", {"device", "text"}},
    {"box", {"device", "text"}},
    {"progress", {"device", "phase", "percent", "resends", "elapsed", "eta"}},
    {"result", {"device", "serial", "vendor_product", "verdict", "outcome", "seconds", "resends",
                "skip_window", "differences"}},
    {"controller", {"device", "vendor_product", "serial", "opens", "writable"}},
};
const std::set<std::string> kRecordKeys = {"start", "end", "lumbra_version", "image_version",
                                           "image_sha256", "image_standin", "pace_ms"};

struct Outcome {
  int code = -1;
  std::vector<json> events;
  std::map<std::string, json> results;  // by device
  std::map<std::string, json> records;  // by device
  std::string err;
};

// Runs lumbra-cli with --json and --report on `platform`; checks every line
// against the schema.
Outcome Cli(std::vector<std::string> args, emulator::EmulatedHidPlatform& platform,
            StopSignal* stop = nullptr) {
  // One file per test: ctest runs the tests in parallel processes.
  std::string report = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::replace(report.begin(), report.end(), '/', '_');
  report = ::testing::TempDir() + "cli_test_" + report + ".jsonl";
  std::remove(report.c_str());
  if (args[0] != "list" && std::find(args.begin(), args.end(), "--report") == args.end()) {
    args.insert(args.end(), {"--report", report});
  }
  args.push_back("--json");
  std::ostringstream out, err;
  StopSignal own;
  Outcome o;
  o.code = RunCli(args, &platform, Io{out, err}, stop != nullptr ? *stop : own);
  o.err = err.str();
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) {
    json event = json::parse(line);
    const auto schema = kSchema.find(event.value("event", ""));
    EXPECT_NE(schema, kSchema.end()) << line;
    if (schema == kSchema.end()) continue;
    for (const std::string& key : schema->second) EXPECT_TRUE(event.contains(key)) << key << ": " << line;
    if (schema->first == "result") o.results[event["device"]] = event;
    o.events.push_back(event);
  }
  std::ifstream records(report);
  for (std::string line; std::getline(records, line);) {
    json record = json::parse(line);
    for (const std::string& key : kRecordKeys) EXPECT_TRUE(record.contains(key)) << key;
    EXPECT_EQ(record["image_sha256"].get<std::string>().size(), 64u);
    o.records[record["device"]] = record;
  }
  return o;
}

// The image where the controller lets it be written.
bool FlashIsImage(emulator::QuorvexController& controller) {
  for (std::uint32_t a = 0; a < transfer::kImageSize; ++a) {
    if (!controller.IsProtected(a) && controller.Flash()[a] != transfer::FirmwareImage::Byte(a)) return false;
  }
  return true;
}

// Two stuck cells in sector 4 whose errors cancel in the sector's sum: the
// download passes and only the verification finds them.
struct StuckPair {
  StuckPair() {
    for (std::uint32_t a = 0x1000; a < 0x1400 && (low == 0 || high == 0); ++a) {
      (transfer::FirmwareImage::Byte(a) & 1 ? high : low) = a;
    }
  }
  std::vector<Fault> Faults() const {
    return {Fault::StuckBits(low, 0x01, 0x01), Fault::StuckBits(high, 0x01, 0x00)};
  }
  json Differences() const {
    json list = json::array();
    for (std::uint32_t a : {std::min(low, high), std::max(low, high)}) {
      const int expected = transfer::FirmwareImage::Byte(a);
      list.push_back({{"address", a}, {"read", expected ^ 1}, {"expected", expected}});
    }
    return list;
  }
  std::uint32_t low = 0;   // bit 0 clear in the image, stuck at 1
  std::uint32_t high = 0;  // bit 0 set in the image, stuck at 0
};
const StuckPair kStuck;

struct VerdictCase {
  const char* name;
  std::vector<Fault> faults;
  const char* serial;
  const char* verdict;
  int code;
  bool opens = true;
};

class VerdictTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictTest, ExitCodeResultAndRecord) {
  const VerdictCase& c = GetParam();
  emulator::EmulatedHidPlatform platform;
  if (c.serial != nullptr) {
    emulator::DeviceSpec spec;
    spec.serialNumber = c.serial;
    spec.opens = c.opens;
    auto& controller = platform.AddController({}, spec);
    for (const Fault& f : c.faults) controller.AddFault(f);
  }
  if (c.serial != nullptr && std::string(c.serial) != "lumbra-virtual" &&
      !transfer::FirmwareImage::IsStandIn()) {
    GTEST_SKIP() << "only a stand-in build refuses a real controller";
  }
  Outcome o = Cli({"flash", "--pace", "0"}, platform);
  EXPECT_EQ(o.code, c.code);
  ASSERT_EQ(o.results.size(), 1u);
  ASSERT_EQ(o.records.size(), 1u);
  const json& result = o.results.begin()->second;
  const json& record = o.records.begin()->second;
  EXPECT_EQ(result["verdict"], c.verdict);
  EXPECT_EQ(record["verdict"], c.verdict);
  EXPECT_EQ(record["device"], result["device"]);
  EXPECT_EQ(record["pace_ms"], 0);
  if (c.serial == nullptr) return;
  if (o.code == kExitVerified) {
    EXPECT_TRUE(FlashIsImage(*platform.ControllerAt(0)));
  }
  EXPECT_EQ(platform.Counters(0).OpenHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, VerdictTest,
    ::testing::Values(
        VerdictCase{"Verified", {}, "lumbra-virtual", "verified", kExitVerified},
        VerdictCase{"StuckBytes", kStuck.Faults(), "lumbra-virtual", "verify failed",
                    kExitVerifyFailed},
        VerdictCase{"EveryBlockReadsWrong", {[] {
                      Fault f = Fault::ReadBackFill(0x5A);
                      f.times = emulator::kEveryTime;
                      return f;
                    }()}, "lumbra-virtual",
                    "verify aborted", kExitVerifyFailed},
        VerdictCase{"ChecksumNeverRight", {Fault::WrongChecksum(3, emulator::kEveryTime)},
                    "lumbra-virtual", "download failed", kExitDownloadFailed},
        VerdictCase{"NoController", {}, nullptr, "not detected", kExitNoController},
        VerdictCase{"MayNotBeOpened", {}, "lumbra-virtual", "access denied", kExitNoController, false},
        VerdictCase{"RealControllerInStandInBuild", {}, "QX-0001", "refused", kExitNoController}),
    [](const auto& info) { return std::string(info.param.name); });

// Four at once: each ends on its own, with its own record, nothing crossed.
TEST(CliTest, AllFlashesFourControllersEachToItsOwnEnd) {
  emulator::EmulatedHidPlatform platform;
  platform.AddController();
  auto& stuck = platform.AddController();
  for (const Fault& f : kStuck.Faults()) stuck.AddFault(f);
  platform.AddController().AddFault(Fault::Unplug(2000));  // in the download
  platform.AddController();
  Outcome o = Cli({"flash", "--all", "--pace", "0"}, platform);
  EXPECT_EQ(o.code, kExitDownloadFailed);
  const std::vector<std::string> verdicts = {"verified", "verify failed", "download failed", "verified"};
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    const std::string device = platform.PathOf(i);
    SCOPED_TRACE(device);
    EXPECT_EQ(o.results[device]["verdict"], verdicts[i]);
    EXPECT_EQ(o.records[device]["verdict"], verdicts[i]);
    EXPECT_EQ(FlashIsImage(*platform.ControllerAt(i)), verdicts[i] == "verified");
    EXPECT_EQ(platform.Counters(i).OpenHandles(), 0u);
    EXPECT_EQ(o.records[device]["differences"], i == 1 ? kStuck.Differences() : json::array());
  }
}

struct ChoiceCase {
  std::vector<std::string> args;
  int code;
  std::vector<bool> written;  // per controller: lines were written to it
};

// Controller 0 is a virtual one, 1 claims a real serial number (refused by
// a stand-in build), 2 is virtual again.
TEST(CliTest, ChoosesByPathOrSerialNumberAndNeverGuesses) {
  const std::vector<ChoiceCase> cases = {
      {{"flash"}, kExitUsage, {false, false, false}},
      {{"flash", "--device", "emulated:2"}, kExitVerified, {false, false, true}},
      {{"flash", "--device", "emulated:9"}, kExitNoController, {false, false, false}},
      {{"flash", "--serial", "lumbra-virtual"}, kExitUsage, {false, false, false}},
      {{"flash", "--serial", "QX-0001"}, kExitNoController, {false, false, false}},
      {{"flash", "--serial", "none"}, kExitNoController, {false, false, false}},
      {{"flash", "--all", "--device", "emulated:0"}, kExitUsage, {false, false, false}},
      {{"flash", "--pace", "-1"}, kExitUsage, {false, false, false}},
  };
  for (const ChoiceCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    emulator::EmulatedHidPlatform platform;
    emulator::DeviceSpec real;
    real.serialNumber = "QX-0001";
    platform.AddController();
    platform.AddController({}, real);
    platform.AddController();
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--pace", "0"});
    if (c.args.back() == "-1") args.resize(c.args.size());
    const int expectedCode = transfer::FirmwareImage::IsStandIn() || c.args.back() != "QX-0001"
                                 ? c.code
                                 : kExitVerified;
    EXPECT_EQ(Cli(args, platform).code, expectedCode);
    for (std::size_t i = 0; i < c.written.size(); ++i) {
      if (i == 1 && expectedCode != c.code) continue;
      EXPECT_EQ(platform.Counters(i).writes > 0, c.written[i]) << "controller " << i;
    }
  }
}

TEST(CliTest, ListsControllersAndExitsThreeWithoutOne) {
  emulator::EmulatedHidPlatform platform;
  EXPECT_EQ(Cli({"list"}, platform).code, kExitNoController);
  platform.AddController({}, {.opens = false});
  EXPECT_EQ(Cli({"list"}, platform).events.at(0)["opens"], false);
  EXPECT_EQ(Cli({"list"}, platform).code, kExitNoController);
  platform.AddForeign({.vendorId = 0x1234});
  platform.AddController();
  Outcome o = Cli({"list"}, platform);
  EXPECT_EQ(o.code, kExitVerified);
  ASSERT_EQ(o.events.size(), 2u);
  o.events.erase(o.events.begin());
  EXPECT_EQ(o.events[0]["device"], "emulated:2");
  EXPECT_EQ(o.events[0]["vendor_product"], "4242:c003");
  EXPECT_EQ(o.events[0]["output_report"], emulator::kReportLength);
  EXPECT_EQ(platform.Counters(2).writes, 0u);
}

TEST(CliTest, RecordThatCannotBeWrittenIsAnErrorAfterTheResult) {
  emulator::EmulatedHidPlatform platform;
  platform.AddController();
  Outcome o = Cli({"flash", "--pace", "0", "--report", "/nonexistent/records.jsonl"}, platform);
  EXPECT_EQ(o.code, kExitRecordFailed);
  EXPECT_EQ(o.results["emulated:0"]["verdict"], "verified");
  EXPECT_THAT(o.err, ::testing::HasSubstr("/nonexistent/records.jsonl"));
}

// Ctrl-C in the download: the run stops after its step, its record says so
// and its handle is closed.
TEST(CliTest, InterruptEndsInterruptedWithRecordAndNoHandleOpen) {
  emulator::EmulatedHidPlatform platform;
  platform.AddController();
  StopSignal stop;
  std::thread interrupt([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.Request();
  });
  Outcome o = Cli({"flash", "--pace", "1"}, platform, &stop);
  interrupt.join();
  EXPECT_EQ(o.code, kExitInterrupted);
  EXPECT_EQ(o.records["emulated:0"]["verdict"], "interrupted");
  EXPECT_EQ(platform.Counters(0).OpenHandles(), 0u);
  EXPECT_GT(platform.Counters(0).writes, 0u);
  EXPECT_FALSE(FlashIsImage(*platform.ControllerAt(0)));
}

// The station: a controller plugged in later is flashed once, and again
// only after it was pulled out and plugged in again.
TEST(CliTest, WatchFlashesEachArrivalOnce) {
  emulator::EmulatedHidPlatform platform;
  StopSignal stop;
  Outcome o;
  std::thread station([&] { o = Cli({"watch", "--pace", "0"}, platform, &stop); });
  const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(6 * kWatchPollMs)); };
  settle();
  platform.AddController();
  settle();
  platform.Unplug(0);
  settle();
  platform.Replug(0);
  settle();
  stop.Request();
  station.join();
  EXPECT_EQ(o.code, kExitVerified);
  int verified = 0;
  for (const json& e : o.events) verified += e["event"] == "result" && e["verdict"] == "verified";
  EXPECT_EQ(verified, 2);
  EXPECT_TRUE(FlashIsImage(*platform.ControllerAt(0)));
}

}  // namespace
}  // namespace lumbra::cli
