// lumbra-cli on the emulated platform: verdicts, exit codes, JSON lines and
// records, several controllers at once, the choice of controller, watch and
// interrupts. Downloads are judged by the emulated flash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/options.h"
#include "cli/record.h"
#include "emulator/emulated_hid_platform.h"
#include "support/awaited_output.h"
#include "support/cycle_runner.h"
#include "transfer/firmware_image.h"

namespace lumbra::cli {
namespace {

using emulator::Fault;
using nlohmann::json;

// The keys every event of a kind carries (docs/cli.md).
const std::map<std::string, std::set<std::string>> kSchema = {
    {"phase", {"time", "device", "phase"}},
    {"status", {"time", "device", "text"}},
    {"box", {"time", "device", "text"}},
    {"resend", {"time", "device", "sector", "resend"}},
    {"progress", {"time", "device", "phase", "percent", "position", "total", "resends", "elapsed", "eta"}},
    {"result", {"time", "device", "port", "serial", "vendor_product", "verdict", "outcome", "phase", "seconds",
                "resends", "skip_window", "differences"}},
    {"controller", {"time", "device", "port", "vendor_product", "serial", "opens", "writable"}},
    {"summary", {"time", "controllers", "verdicts", "exit_code"}},
};
const std::set<std::string> kRecordKeys = {"start", "end", "lumbra_version", "image_version",
                                           "image_sha256", "image_standin", "pace_ms", "schema",
                                           "record_id", "station", "slot", "port"};

struct Outcome {
  int code = -1;
  std::vector<json> events;
  std::map<std::string, json> results;  // by device
  std::map<std::string, json> records;  // by device
  std::string err;
};

// Standard output as the program writes it, for tests that wait on its events.
using Output = testsupport::AwaitedOutput;

const std::string kInDownload = R"("phase":"download"})";  // the phase event
const std::string kVerified = R"("verdict":"verified")";

// One file per test: ctest runs the tests in parallel processes.
std::string ReportPath() {
  return ::testing::TempDir() + "cli_test_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".jsonl";
}

// Runs lumbra-cli with --json and --report on `platform`; checks every line
// against the schema, and that no controller has two results or records
// (watch excepted: it flashes a controller again after a replug).
Outcome Cli(std::vector<std::string> args, link::HidPlatform& platform, StopSignal* stop = nullptr,
            Output* output = nullptr) {
  const std::string report = ReportPath();
  std::remove(report.c_str());
  if (args[0] != "list" && std::find(args.begin(), args.end(), "--report") == args.end()) {
    args.insert(args.end(), {"--report", report});
  }
  args.push_back("--json");
  Output own;
  Output& written = output != nullptr ? *output : own;
  std::ostream out(&written);
  std::ostringstream err;
  StopSignal ownStop;
  Outcome o;
  o.code = RunCli(args, &platform, Io{out, err}, stop != nullptr ? *stop : ownStop);
  o.err = err.str();
  const bool once = args[0] != "watch";
  std::istringstream lines(written.Text());
  for (std::string line; std::getline(lines, line);) {
    json event = json::parse(line);
    const auto schema = kSchema.find(event.value("event", ""));
    EXPECT_NE(schema, kSchema.end()) << line;
    if (schema == kSchema.end()) continue;
    for (const std::string& key : schema->second) EXPECT_TRUE(event.contains(key)) << key << ": " << line;
    if (schema->first == "result") {
      EXPECT_TRUE(o.results.insert_or_assign(event["device"], event).second || !once) << line;
    }
    o.events.push_back(event);
  }
  std::ifstream records(report);
  for (std::string line; std::getline(records, line);) {
    json record = json::parse(line);
    for (const std::string& key : kRecordKeys) EXPECT_TRUE(record.contains(key)) << key;
    EXPECT_EQ(record["image_sha256"].get<std::string>().size(), 64u);
    EXPECT_TRUE(o.records.insert_or_assign(record["device"], record).second || !once) << line;
  }
  return o;
}

// The emulated platform with one device whose every read first calls
// `onRead`, which may throw or wait.
class FaultyPlatform final : public link::HidPlatform {
 public:
  FaultyPlatform(emulator::EmulatedHidPlatform& inner, std::string path, std::function<void()> onRead)
      : inner_(inner), path_(std::move(path)), onRead_(std::move(onRead)) {}
  std::vector<std::string> Enumerate() override { return inner_.Enumerate(); }
  Opened Open(const std::string& path) override {
    Opened opened = inner_.Open(path);
    if (opened.device != nullptr && path == path_) {
      opened.device = std::make_unique<Device>(std::move(opened.device), onRead_);
    }
    return opened;
  }
  std::optional<link::HidAttributes> Identify(const std::string& path) override {
    return inner_.Identify(path);
  }
  std::string Port(const std::string& path) override { return inner_.Port(path); }
  void Pause(int milliseconds) override { inner_.Pause(milliseconds); }

 private:
  struct Device final : link::HidDevice {
    Device(std::unique_ptr<link::HidDevice> d, std::function<void()>& f) : inner(std::move(d)), onRead(f) {}
    std::optional<link::HidAttributes> Attributes() override { return inner->Attributes(); }
    std::optional<link::ReportLengths> Capabilities() override { return inner->Capabilities(); }
    bool WriteReport(std::span<const std::uint8_t> r) override { return inner->WriteReport(r); }
    link::ReadOutcome ReadReport(std::span<std::uint8_t> r, int timeoutMs) override {
      onRead();
      return inner->ReadReport(r, timeoutMs);
    }
    link::HidError LastError() const override { return inner->LastError(); }
    std::unique_ptr<link::HidDevice> inner;
    std::function<void()>& onRead;
  };
  emulator::EmulatedHidPlatform& inner_;
  std::string path_;
  std::function<void()> onRead_;
};

// Sector 1's first two chunks land in each other's place: the sector's sum
// holds, so the download passes and only the verification finds them.
const Fault kSwapped = Fault::SwapChunks(1, 0, 1);

// What a verification must list for this controller: every address outside
// the boot code where its flash is not the image, as the controller knows it.
json DifferencesIn(const emulator::QuorvexController& controller) {
  json list = json::array();
  for (std::uint32_t a : reliability::AddressesUnlikeImage(controller)) {
    list.push_back(
        {{"address", a}, {"read", controller.Flash()[a]}, {"expected", transfer::FirmwareImage::Byte(a)}});
  }
  return list;
}

// Each verdict's exit code, result and record; a verified flash is the image and
// no handle stays open.
TEST(CliTest, EachVerdictItsExitCodeResultAndRecord) {
  const struct {
    const char* verdict;
    int code;
    std::vector<Fault> faults;
    const char* serial = "lumbra-virtual";  // nullptr: no controller
    bool opens = true;
  } rows[] = {
      {"verified", kExitVerified, {}},
      {"verify failed", kExitVerifyFailed, {kSwapped}},
      {"verify aborted", kExitVerifyFailed, {Fault::ReadBackFill(0x5A)}},  // every block read wrong
      {"download failed", kExitDownloadFailed, {Fault::WrongChecksum(3, emulator::kEveryTime)}},
      {"not detected", kExitNoController, {}, nullptr},
      {"access denied", kExitNoController, {}, "lumbra-virtual", false},
      {"refused", kExitNoController, {}, "QX-0001"},  // a real one, refused by a stand-in build
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.verdict);
    if (row.verdict == std::string("refused") && !transfer::FirmwareImage::IsStandIn()) continue;
    emulator::EmulatedHidPlatform platform;
    if (row.serial != nullptr) {
      auto& controller =
          platform.AddController({}, {.serialNumber = row.serial, .opens = row.opens});
      for (const Fault& f : row.faults) controller.AddFault(f);
    }
    Outcome o = Cli({"flash", "--pace", "0"}, platform);
    EXPECT_EQ(o.code, row.code);
    ASSERT_EQ(o.results.size(), 1u);
    const auto& [device, result] = *o.results.begin();
    EXPECT_EQ(result["verdict"], row.verdict);
    EXPECT_EQ(o.records.size(), 1u);  // the same device's
    EXPECT_EQ(o.records[device]["verdict"], row.verdict);
    EXPECT_EQ(o.records[device]["pace_ms"], 0);
    if (row.serial == nullptr) continue;
    EXPECT_TRUE(o.code != kExitVerified || reliability::FlashHoldsImage(*platform.ControllerAt(0)))
        << "verified, but the flash is not the image";
    EXPECT_EQ(platform.Counters(0).OpenHandles(), 0u);
  }
}

// Four at once: each ends on its own, with its own record, nothing crossed.
TEST(CliTest, AllFlashesFourControllersEachToItsOwnEnd) {
  emulator::EmulatedHidPlatform platform;
  platform.AddController();
  platform.AddController().AddFault(kSwapped);
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
    const emulator::QuorvexController& controller = *platform.ControllerAt(i);
    EXPECT_EQ(reliability::FlashHoldsImage(controller), verdicts[i] == "verified");
    EXPECT_EQ(platform.Counters(i).OpenHandles(), 0u);
    // A failed download lists none; a verification, every one the flash has.
    EXPECT_EQ(o.records[device]["differences"], i == 2 ? json::array() : DifferencesIn(controller));
  }
}

// A replug moves controller 1 to a new path, as a hidraw node's number changes: the run
// follows it there by its port, past controller 0 with the same serial number; where the
// system tells no port, by its serial number, but only when no other controller has it.
TEST(CliTest, FollowsByPortOrSerialNumberAControllerThatAReplugMoved) {
  const struct { const char* otherSerial; bool ports; const char* choice[2]; const char* by; } rows[] = {
      {"QX-0001", false, {"--serial", "lumbra-virtual"}, "serial number"},
      {"lumbra-virtual", true, {"--port", "emulated-port:1"}, "port"},
      {"lumbra-virtual", false, {"--device", "emulated:1"}, nullptr},  // two candidates: neither
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.choice[0]);
    emulator::EmulatedHidPlatform platform;
    platform.ReplugAtNewPaths();
    platform.AddController({}, {.serialNumber = row.otherSerial, .tellsPort = row.ports});
    platform.AddController({}, {.tellsPort = row.ports}).AddFault(Fault::Unplug(2000, 0));  // back at once
    const Outcome o = Cli({"flash", row.choice[0], row.choice[1], "--pace", "0", "--verbose"}, platform);
    EXPECT_EQ(o.results.at("emulated:1")["port"], row.ports ? "emulated-port:1" : "emulated:1");
    EXPECT_EQ(o.results.at("emulated:1")["verdict"], row.by ? "verified" : "download failed");
    const std::string followed = row.by ? std::string("now at emulated:2 (same ") + row.by : "now at";
    EXPECT_EQ(o.err.find(followed) != std::string::npos, row.by != nullptr) << o.err;
    EXPECT_EQ(platform.Counters(0).writes + platform.Counters(1).OpenHandles(), 0u);  // not 0 flashed
  }
}

// Controller 0 is a virtual one, 1 claims a real serial number (refused by
// a stand-in build), 2 is virtual again.
TEST(CliTest, ChoosesByPathOrSerialNumberAndNeverGuesses) {
  // written: per controller, whether lines were written to it.
  const struct { std::vector<std::string> args; int code; std::vector<bool> written; } cases[] = {
      {{"flash"}, kExitUsage, {false, false, false}},
      {{"flash", "--device", "emulated:2"}, kExitVerified, {false, false, true}},
      {{"flash", "--device", "emulated:9"}, kExitNoController, {false, false, false}},
      {{"flash", "--serial", "lumbra-virtual"}, kExitUsage, {false, false, false}},
      {{"flash", "--serial", "QX-0001"}, kExitNoController, {false, false, false}},
      {{"flash", "--serial", "none"}, kExitNoController, {false, false, false}},
      {{"flash", "--port", "emulated-port:2"}, kExitVerified, {false, false, true}},
      {{"flash", "--port", "emulated:2"}, kExitNoController, {false, false, false}},  // a path, not its port
      {{"flash", "--all", "--device", "emulated:0"}, kExitUsage, {false, false, false}},
      {{"flash", "--port", "emulated-port:0", "--serial", "lumbra-virtual"}, kExitUsage, {false, false, false}},
      {{"flash", "--simulate", "2"}, kExitUsage, {false, false, false}},  // emulated ones, chosen alike
      // A record file that cannot be opened is refused before any controller
      // is touched; one that fails later (disk full) fails the run, flashed.
      {{"flash", "--all", "--report", "/nonexistent/r.jsonl"}, kExitRecordFailed, {false, false, false}},
      {{"flash", "--all", "--report", "/tmp"}, kExitRecordFailed, {false, false, false}},
      {{"flash", "--all", "--report", ""}, kExitRecordFailed, {false, false, false}},
      {{"flash", "--device", "emulated:0", "--report", "/dev/full"}, kExitRecordFailed, {true, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    emulator::EmulatedHidPlatform platform;
    platform.AddController();
    platform.AddController({}, {.serialNumber = "QX-0001"});
    platform.AddController();
    std::vector<std::string> args = c.args;
    args.insert(args.begin() + 1, {"--pace", "0"});
    const int expectedCode = transfer::FirmwareImage::IsStandIn() || c.args.back() != "QX-0001"
                                 ? c.code
                                 : kExitVerified;
    const Outcome o = Cli(args, platform);
    EXPECT_EQ(o.code, expectedCode);
    if (c.code == kExitRecordFailed) {  // the file and the cause on stderr, and any result
      EXPECT_THAT(o.err, ::testing::HasSubstr("\"" + c.args.back() + "\": "));
      EXPECT_EQ(o.results.size(), c.written[0] ? 1u : 0u);
    }
    for (std::size_t i = 0; i < c.written.size(); ++i) {
      if (i == 1 && expectedCode != c.code) continue;
      EXPECT_EQ(platform.Counters(i).writes > 0, c.written[i]) << "controller " << i;
    }
  }
}

// --simulate's faults end as they would on attached controllers, each
// record marked emulated.
TEST(CliTest, SimulatedFaultsEndWithTheirVerdicts) {
  const struct { const char* plants; int code; std::vector<std::string> verdicts; } rows[] = {
      {"ok,stuck", kExitVerifyFailed, {"verified", "verify failed"}},
      {"badsum,unplug,replug", kExitDownloadFailed, {"download failed", "download failed", "verified"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.plants);
    emulator::EmulatedHidPlatform unused;
    Outcome o = Cli({"flash", "--all", "--pace", "0", "--simulate", row.plants}, unused);
    EXPECT_EQ(o.code, row.code);
    ASSERT_EQ(o.records.size(), row.verdicts.size());
    for (std::size_t i = 0; i < row.verdicts.size(); ++i) {
      const json& record = o.records["emulated:" + std::to_string(i)];
      EXPECT_EQ(record["verdict"], row.verdicts[i]) << i;
      EXPECT_EQ(record["emulated"], true) << i;
    }
  }
}

// What the command line answers before anything is run, and on which stream.
TEST(CliTest, CommandLineAnswers) {
  const std::string image = "firmware image " + std::string(transfer::kImageVersion) +
                            (transfer::FirmwareImage::IsStandIn() ? " STAND-IN" : "\n");
  const struct { std::vector<std::string> args; int code; std::string out, err; } cases[] = {
      {{"flash", "--pace", "abc"}, kExitUsage, "",
       "lumbra-cli: --pace: \"abc\" is not a number of milliseconds (0 to 60000)\n"
       "Run 'lumbra-cli flash --help' for the options.\n"},
      {{"list", "--pace", "0"}, kExitUsage, "", "lumbra-cli: unknown option \"--pace\"\nRun 'lumbra-cli list --help'"},
      {{"flush"}, kExitUsage, "", "lumbra-cli: unknown command \"flush\"\nRun 'lumbra-cli --help'"},
      {{"--simulate", "ok,sticky", "list"}, kExitUsage, "", "lumbra-cli: --simulate: \"ok,sticky\" is neither"},
      {{"--json", "--quiet", "list"}, kExitVerified, "{\"event\":\"controller\"", ""},
      {{"help"}, kExitVerified, "  watch ", ""},
      {{"help", "flash"}, kExitVerified, "Usage: lumbra-cli flash [OPTIONS]", ""},
      {{"help", "help"}, kExitUsage, "", "lumbra-cli: unknown command \"help\""},
      {{"--version"}, kExitVerified, image, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    emulator::EmulatedHidPlatform platform;
    platform.AddController();
    std::ostringstream out, err;
    StopSignal stop;
    EXPECT_EQ(RunCli(c.args, &platform, Io{out, err}, stop), c.code);
    EXPECT_THAT(out.str(), ::testing::HasSubstr(c.out));
    EXPECT_THAT(err.str(), ::testing::StartsWith(c.err));
    EXPECT_EQ(platform.Counters(0).writes, 0u);
  }
}

// A controller that may not be opened is listed, but does not count; one that
// may is listed with its reports and left untouched. (No controller at all:
// lumbra-cli.exe under Wine.)
TEST(CliTest, ListsControllersAndExitsThreeWithoutAnOpenableOne) {
  emulator::EmulatedHidPlatform platform;
  platform.AddController({}, {.opens = false});
  Outcome o = Cli({"list"}, platform);
  EXPECT_EQ(o.code, kExitNoController);
  EXPECT_EQ(o.events.at(0)["opens"], false);
  platform.AddController();
  o = Cli({"list"}, platform);
  EXPECT_EQ(o.code, kExitVerified);
  EXPECT_EQ(o.events.at(1)["device"], "emulated:1");
  EXPECT_EQ(o.events.at(1)["port"], "emulated-port:1");
  EXPECT_EQ(o.events.at(1)["output_report"], emulator::kReportLength);
  EXPECT_EQ(platform.Counters(1).writes, 0u);
}

// Ctrl-C in the download: the run stops after its step, its record says so
// and its handle is closed.
TEST(CliTest, InterruptEndsInterruptedWithRecordAndNoHandleOpen) {
  emulator::EmulatedHidPlatform platform;
  platform.AddController();
  StopSignal stop;
  Output output;
  Outcome o;
  std::thread run([&] { o = Cli({"flash", "--pace", "1"}, platform, &stop, &output); });
  EXPECT_TRUE(output.Await(kInDownload));
  stop.Request();
  run.join();
  EXPECT_EQ(o.code, kExitInterrupted);
  EXPECT_EQ(o.records["emulated:0"]["verdict"], "interrupted");
  EXPECT_EQ(platform.Counters(0).OpenHandles(), 0u);
  EXPECT_GT(platform.Counters(0).writes, 0u);
  EXPECT_FALSE(reliability::FlashHoldsImage(*platform.ControllerAt(0)));
}

// A second Ctrl-C while controller 1 hangs in a read: each controller gets
// one result and one record, written at once for those still running, and
// none again when their threads end.
TEST(CliTest, SecondInterruptRecordsEveryControllerOnce) {
  emulator::EmulatedHidPlatform emulated;
  for (int i = 0; i < 3; ++i) emulated.AddController();
  std::mutex mutex;
  std::condition_variable changed;
  bool stuck = false, released = false;
  FaultyPlatform platform(emulated, "emulated:1", [&] {
    std::unique_lock lock(mutex);
    stuck = true;
    changed.notify_all();
    changed.wait(lock, [&] { return released; });
  });
  StopSignal stop;
  Output output;
  Outcome o;
  std::thread run([&] { o = Cli({"flash", "--all", "--pace", "1"}, platform, &stop, &output); });
  EXPECT_TRUE(output.Await(kInDownload, 2));
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] { return stuck; });
  lock.unlock();
  stop.Request();
  stop.Request();
  std::ifstream report(ReportPath());  // before the hung one's thread may end
  EXPECT_EQ(std::count(std::istreambuf_iterator<char>(report), {}, '\n'), 3);
  lock.lock();
  released = true;
  changed.notify_all();
  lock.unlock();
  run.join();
  EXPECT_EQ(o.code, kExitInterrupted);
  for (const std::string device : {"emulated:0", "emulated:1", "emulated:2"}) {
    SCOPED_TRACE(device);
    EXPECT_EQ(o.results[device]["verdict"], "interrupted");
    EXPECT_EQ(o.records[device]["verdict"], "interrupted");
    EXPECT_EQ(o.records[device].contains("advice"), device != "emulated:1");  // a partial image
  }
}

// An exception in one controller's thread fails that one alone, with its
// record and its cause on stderr.
TEST(CliTest, ExceptionInOneControllerFailsItAlone) {
  emulator::EmulatedHidPlatform emulated;
  for (int i = 0; i < 3; ++i) emulated.AddController();
  FaultyPlatform platform(emulated, "emulated:1", [] { throw std::runtime_error("read exploded"); });
  const Outcome o = Cli({"flash", "--all", "--pace", "0"}, platform);
  EXPECT_EQ(o.code, kExitSoftware);
  EXPECT_THAT(o.err, ::testing::HasSubstr("emulated:1: internal error: read exploded"));
  for (std::size_t i = 0; i < 3; ++i) {
    const char* verdict = i == 1 ? "internal error" : "verified";
    EXPECT_EQ(o.results.at(emulated.PathOf(i))["verdict"], verdict);
    EXPECT_EQ(o.records.at(emulated.PathOf(i))["verdict"], verdict);
    EXPECT_EQ(emulated.Counters(i).OpenHandles(), 0u);
  }
}

// The station: a controller plugged in later is flashed once, and again
// only after it was pulled out and plugged in again.
TEST(CliTest, WatchFlashesEachArrivalOnce) {
  emulator::EmulatedHidPlatform platform;
  StopSignal stop;
  Output output;
  Outcome o;
  std::thread station([&] { o = Cli({"watch", "--pace", "0"}, platform, &stop, &output); });
  platform.AddController();
  EXPECT_TRUE(output.Await(kVerified));
  platform.Unplug(0, 1);  // gone for one look, back at the next
  EXPECT_TRUE(output.Await(kVerified, 2));
  stop.Request();
  station.join();
  const auto verified = [&] {
    return std::count_if(o.events.begin(), o.events.end(),
                         [](const json& e) { return e["event"] == "result" && e["verdict"] == "verified"; });
  };
  EXPECT_EQ(o.code, kExitVerified);
  EXPECT_EQ(verified(), 2);
  EXPECT_TRUE(reliability::FlashHoldsImage(*platform.ControllerAt(0)));
  // The same, planted: pulled out after its run, back a few looks later.
  StopSignal again;
  Output replugged;
  station = std::thread(
      [&] { o = Cli({"watch", "--pace", "0", "--simulate", "replug"}, platform, &again, &replugged); });
  EXPECT_TRUE(replugged.Await(kVerified, 2));
  again.Request();
  station.join();
  EXPECT_EQ(verified(), 2);
}

std::string StationFile(const std::string& text) {
  const std::string path = ReportPath() + ".station.json";
  std::ofstream(path) << text;
  return path;
}

// A station file that cannot be used is refused, naming the key, before any
// controller is touched.
TEST(CliTest, StationFileRefusedBeforeAnyControllerIsTouched) {
  const std::string slot = R"({"label": "A", "port": "emulated:0"})";
  const struct { std::string text; int code; std::string err; } rows[] = {
      {R"({"slots": [)", kExitUsage, "is not JSON"},
      {R"({"name": "line 3"})", kExitUsage, R"("slots" is missing)"},
      {R"({"slots": [{"label": "A"}]})", kExitUsage, R"("slots[0].port" is missing)"},
      {R"({"slots": [)" + slot + "," + slot + "]}", kExitUsage, R"("slots[1].port" "emulated:0" is another)"},
      {R"({"slots": [)" + slot + R"(], "target": 0})", kExitUsage, R"("target" must be a whole number)"},
      {R"({"slots": [)" + slot + R"(], "pace": 5})", kExitUsage, R"("pace" is not a key)"},
      {"", kExitRecordFailed, "cannot read the station file"},  // a folder
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    emulator::EmulatedHidPlatform platform;
    platform.AddController();
    const std::string file = row.text.empty() ? ::testing::TempDir() : StationFile(row.text);
    const Outcome o = Cli({"flash", "--all", "--station", file}, platform);
    EXPECT_EQ(o.code, row.code);
    EXPECT_THAT(o.err, ::testing::HasSubstr("\"" + file + "\""));
    EXPECT_THAT(o.err, ::testing::HasSubstr(row.err));
    EXPECT_EQ(platform.Counters(0).writes, 0u);
  }
}

// watch with a station file: the controllers on its slots are flashed at its
// pace and recorded with their slot; the other is named once and left alone.
TEST(CliTest, WatchFlashesOnlyTheStationsSlots) {
  emulator::EmulatedHidPlatform platform;
  for (int i = 0; i < 3; ++i) platform.AddController();
  const std::string file = StationFile(R"({"name": "line 3", "pace_ms": 0, "slots": [
      {"label": "A", "port": "emulated-port:1"}, {"label": "B", "port": "emulated-port:2"}]})");
  StopSignal stop;
  Output output;
  Outcome o;
  std::thread station([&] { o = Cli({"watch", "--station", file}, platform, &stop, &output); });
  EXPECT_TRUE(output.Await(kVerified, 2));
  stop.Request();
  station.join();
  EXPECT_EQ(platform.Counters(0).writes, 0u);
  const std::string alone = "emulated:0 at port emulated-port:0: on no slot of station line 3; left alone\n";
  EXPECT_EQ(o.err.find(alone), o.err.rfind(alone));
  EXPECT_NE(o.err.find(alone), std::string::npos) << o.err;
  ASSERT_EQ(o.records.size(), 2u);
  const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  for (const auto& [device, slot] : {std::pair{"emulated:1", "A"}, {"emulated:2", "B"}}) {
    const json& record = o.records[device];
    EXPECT_EQ(record["slot"], slot);
    EXPECT_EQ(record["port"], "emulated-port:" + std::string(1, device[9]));
    EXPECT_EQ(record["station"], "line 3");
    EXPECT_EQ(record["schema"], 2);
    EXPECT_EQ(record["pace_ms"], 0);
    EXPECT_TRUE(std::regex_match(record["record_id"].get<std::string>(), uuid)) << record["record_id"];
  }
  EXPECT_NE(o.records["emulated:1"]["record_id"], o.records["emulated:2"]["record_id"]);
}

// The tally: the counters since the start and today, and the target reached once.
TEST(CliTest, TallyTellsTheCountersAndTheTargetOnce) {
  std::ostringstream out, err;
  Console console(out, err, Style::kPlain);
  station::Counters counters(std::chrono::system_clock::now() - std::chrono::hours(1));
  const std::string now = UtcTimestamp(std::chrono::system_clock::now());
  const std::string before = UtcTimestamp(std::chrono::system_clock::now() - std::chrono::minutes(30));
  for (const char* verdict : {"verified", "verify failed", "verified"}) {
    counters.Add({{"verdict", verdict}, {"start", before}, {"end", now}, {"seconds", 300.4}});
    console.Tally(counters, 2);
  }
  EXPECT_THAT(out.str(), ::testing::EndsWith(
      "so far 3 flashed: 2 verified, 1 verify failed; yield 66.7%; 4.0 units/h; mean cycle 300.4 s\n"
      "today 2 verified, 1 verify failed; yield 66.7%; 4.0 units/h; mean cycle 300.4 s; target 2/2\n"
      "target of 2 reached today\n"));
  console.Tally(counters, 2);
  EXPECT_EQ(out.str().find("reached"), out.str().rfind("reached"));
}

// The bytes of `text` that are control characters (C0 but the line end,
// DEL, C1 as UTF-8), once the console's own cursor movements are taken out.
std::string ControlBytes(std::string text) {
  for (const char* own : {"\x1b[2K", "\x1b[J", "\x1b[1F", "\x1b[2F", "\x1b[3F"}) {
    for (std::size_t at; (at = text.find(own)) != std::string::npos;) text.erase(at, std::strlen(own));
  }
  std::string found;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if ((c < 0x20 && c != '\n') || c == 0x7F || c1) found += text[i];
  }
  return found;
}

// Serial numbers and paths are whatever a device or an argument says: an
// escape sequence, invalid UTF-8, a lone surrogate. JSON stays valid (the
// Cli helper parses every line), and no control character reaches a
// terminal or a plain line; the plain lines of a run are its phases, its
// news, the ending's text once and the result.
TEST(CliTest, HostileStringsStayInertAndPlainLinesTellTheRun) {
  const std::vector<std::string> serials = {"\x1b]0;owned\x07\x1b[2J", "\xff\xfe\xc2\x9b", "\xed\xa0\x80"};
  const auto plug = [&](emulator::EmulatedHidPlatform& platform) {
    for (const std::string& serial : serials) platform.AddController({}, {.serialNumber = serial});
  };
  emulator::EmulatedHidPlatform json;
  plug(json);
  Outcome o = Cli({"flash", "--all", "--pace", "0"}, json);
  EXPECT_EQ(o.code, transfer::FirmwareImage::IsStandIn() ? kExitNoController : kExitVerified);
  EXPECT_EQ(o.results.at("emulated:1")["serial"], "\ufffd\ufffd\u009b");
  EXPECT_EQ(Cli({"flash", "--device", "/dev/\xff"}, json).code, kExitNoController);

  for (const bool terminal : {false, true}) {
    emulator::EmulatedHidPlatform platform;
    plug(platform);
    platform.AddController();
    std::ostringstream out, err;
    StopSignal stop;
    const std::vector<std::string> list = {"list"};
    EXPECT_EQ(RunCli(list, &platform, Io{out, err, terminal}, stop), kExitVerified);
    const std::vector<std::string> flash = {"flash", "--device", "emulated:3", "--pace", "0"};
    EXPECT_EQ(RunCli(flash, &platform, Io{out, err, terminal}, stop), kExitVerified);
    const std::vector<std::string> missing = {"flash", "--device", "/dev/\x1b[31m\xc2\x85", "--verbose"};
    std::ostringstream missingOut;
    EXPECT_EQ(RunCli(missing, &platform, Io{missingOut, err, terminal}, stop), kExitNoController);
    EXPECT_EQ(ControlBytes(out.str() + missingOut.str() + err.str()), "") << missingOut.str();
    EXPECT_THAT(out.str(), ::testing::HasSubstr("serial \"\\x1b]0;owned\\x07\\x1b[2J\""));
    if (terminal) continue;
    const std::string run = out.str().substr(out.str().find("emulated:3: handshake"));
    // std::regex: the simple regular expressions of googletest on Windows have no groups.
    EXPECT_TRUE(std::regex_match(run, std::regex(
                         "emulated:3: handshake\nemulated:3: Quorvex detected\nemulated:3: Connected.\n"
                         "emulated:3: download\n(emulated:3: download .*\n)*"
                         "emulated:3: Download Finished. Starting Verify.\nemulated:3: verify\n"
                         "(emulated:3: verify .*\n)*emulated:3: Verify Finished. Cycle Power.\n"
                         "emulated:3: verified in .*\n"))) << run;
  }
}

// A terminal's rows are cut to its width, so that they never wrap and the
// redraw's cursor movements stay true.
TEST(CliTest, TerminalRowsFitTheWidth) {
  std::ostringstream out, err;
  Console console(out, err, Style::kTerminal, 30);
  const std::string device = "/dev/hidraw-with-a-very-long-name-\xe2\x82\xac";
  console.Began(device, Phase::kDownload);
  console.Status(device, "Checksum error. Resending sector.");
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) {
    for (const char* own : {"\x1b[2K", "\x1b[J", "\x1b[1F"}) {
      if (line.starts_with(own)) line.erase(0, std::strlen(own));
    }
    EXPECT_LE(line.size(), 29u) << line;
  }
}

}  // namespace
}  // namespace lumbra::cli
