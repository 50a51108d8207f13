// lumbra-cli on a real kernel: several virtual controllers at once, through
// uhid or as USB gadgets on dummy_hcd (one bus each), told apart by their
// hidraw paths (they share a serial number), flashed by lumbra-cli over
// hidapi, judged by its exit code, its JSON results and the flash each
// controller dumps when it ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/cycle_runner.h"
#include "transfer/messages.h"
#include "vm_support.h"

namespace {

using lumbra::vm::ReadFile;
using lumbra::vm::Spawn;
using lumbra::vm::WaitFor;

using lumbra::vm::gCli;
using lumbra::vm::gController;
constexpr const char* kOutput = "/tmp/cli-output.jsonl";

// The image where the controller lets it be written (not its boot code).
bool HoldsImage(const std::string& flash) {
  if (flash.size() != lumbra::emulator::kFlashSize) return false;
  lumbra::emulator::QuorvexController controller;
  controller.LoadFlash(std::span<const std::uint8_t, lumbra::emulator::kFlashSize>(
      reinterpret_cast<const std::uint8_t*>(flash.data()), flash.size()));
  return lumbra::reliability::FlashHoldsImage(controller);
}

int ExitCode(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Virtual controllers, each dumping its flash to its own file when it ends.
class Bench {
 public:
  // `unplugAt` per controller: empty for one that stays plugged in. `usb`:
  // the i-th a gadget on the i-th dummy_hcd.
  explicit Bench(const std::vector<std::string>& unplugAt, bool usb = false) {
    for (const std::string& at : unplugAt) {
      const std::string out = "/tmp/cli-flash-" + std::to_string(pids_.size()) + ".bin";
      std::filesystem::remove(out);
      std::vector<std::string> args = {gController, "--quiet", "--flash-out", out};
      if (!at.empty()) args.insert(args.end(), {"--unplug-at", at});
      if (usb) args.insert(args.end(), {"--gadget", "dummy_udc." + std::to_string(pids_.size())});
      const std::size_t before = lumbra::vm::VirtualNodes().size();
      pids_.push_back(Spawn(args, nullptr, /*realtime=*/true));
      outs_.push_back(out);
      EXPECT_TRUE(WaitFor([&] { return lumbra::vm::VirtualNodes().size() > before; }));
    }
  }
  ~Bench() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
  }
  // Unplugs them all; the flash each one dumped.
  std::vector<std::string> Unplug() {
    std::vector<std::string> flashes;
    for (std::size_t i = 0; i < pids_.size(); ++i) {
      ::kill(pids_[i], SIGTERM);
      ::waitpid(pids_[i], nullptr, 0);
      flashes.push_back(ReadFile(outs_[i]));
    }
    pids_.clear();
    return flashes;
  }

 private:
  std::vector<pid_t> pids_;
  std::vector<std::string> outs_;
};

// lumbra-cli's JSON events of one kind, in order.
std::vector<nlohmann::json> Events(const char* kind) {
  std::vector<nlohmann::json> events;
  std::ifstream in(kOutput);
  for (std::string line; std::getline(in, line);) {
    nlohmann::json event = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (event.is_object() && event.value("event", "") == kind) events.push_back(std::move(event));
  }
  return events;
}

// The results' verdicts, sorted; through uhid, where no USB device is above
// the hidraw node, each one's path stands in for its port.
std::vector<std::string> Verdicts(bool usb = false) {
  std::vector<std::string> verdicts;
  for (const nlohmann::json& result : Events("result")) {
    verdicts.push_back(result["verdict"]);
    EXPECT_EQ(result["port"] == result["device"], !usb) << result["port"];
  }
  std::sort(verdicts.begin(), verdicts.end());
  return verdicts;
}

TEST(CliSystem, FlashAllFourVerified) {
  Bench bench({"", "", "", ""});
  EXPECT_EQ(ExitCode(Spawn({gCli, "flash", "--all", "--pace", "0", "--json"}, kOutput)), 0);
  EXPECT_EQ(Verdicts(), std::vector<std::string>(4, "verified"));
  for (const std::string& flash : bench.Unplug()) EXPECT_TRUE(HoldsImage(flash));
}

// One of four vanishes awaiting its 9th sector checksum; the others go on.
TEST(CliSystem, OneOfFourUnpluggedOthersVerified) {
  Bench bench({"", "checksum:9", "", ""});
  EXPECT_EQ(ExitCode(Spawn({gCli, "flash", "--all", "--pace", "0", "--json"}, kOutput)), 2);
  EXPECT_EQ(Verdicts(), (std::vector<std::string>{"download failed", "verified", "verified", "verified"}));
  const std::vector<std::string> flashes = bench.Unplug();
  for (std::size_t i = 0; i < flashes.size(); ++i) EXPECT_EQ(HoldsImage(flashes[i]), i != 1) << i;
}

TEST(CliSystem, WatchFlashesALateArrival) {
  const pid_t station = Spawn({gCli, "watch", "--pace", "0", "--json"}, kOutput);
  ::usleep(500000);
  Bench bench({""});
  EXPECT_TRUE(WaitFor([] { return !Verdicts().empty(); }, std::chrono::seconds(120)));
  ::kill(station, SIGTERM);
  EXPECT_EQ(ExitCode(station), 0);
  EXPECT_EQ(Verdicts(), std::vector<std::string>{"verified"});
  EXPECT_TRUE(HoldsImage(bench.Unplug()[0]));
}

// Four gadgets, each on its own bus: each record names its own port.
TEST(CliSystem, FlashAllFourVerifiedOverUsb) {
  Bench bench({"", "", "", ""}, /*usb=*/true);
  EXPECT_EQ(ExitCode(Spawn({gCli, "flash", "--all", "--pace", "0", "--json"}, kOutput)), 0);
  EXPECT_EQ(Verdicts(true), std::vector<std::string>(4, "verified"));
  std::set<std::string> ports;
  for (const nlohmann::json& result : Events("result")) {
    ports.insert(result.value("port", ""));
    std::printf("one cycle through dummy_hcd at --pace 0, four at once: %.2f s\n", result.value("seconds", 0.0));
  }
  EXPECT_EQ(ports, (std::set<std::string>{"1-1", "2-1", "3-1", "4-1"}));
  for (const std::string& flash : bench.Unplug()) EXPECT_TRUE(HoldsImage(flash));
}

// One of four gadgets unbinds after its 1000th data frame (in sector 15): one box
// for it, and its flash holds the image up to that sector and nothing after it.
TEST(CliSystem, OneOfFourUnboundInItsDownloadOthersVerified) {
  Bench bench({"", "data:1000", "", ""}, /*usb=*/true);
  EXPECT_EQ(ExitCode(Spawn({gCli, "flash", "--all", "--pace", "0", "--json"}, kOutput)), 2);
  EXPECT_EQ(Verdicts(true), (std::vector<std::string>{"download failed", "verified", "verified", "verified"}));
  std::string failed;
  for (const nlohmann::json& result : Events("result")) {
    if (result["verdict"] != "verified") failed = result.value("device", "");
  }
  std::vector<std::string> boxes;
  for (const nlohmann::json& box : Events("box")) {
    if (box.value("device", "") == failed) boxes.push_back(box.value("text", ""));
  }
  EXPECT_EQ(boxes, std::vector<std::string>{std::string(lumbra::transfer::kDownloadSendFailedBox)});
  const std::vector<std::string> flashes = bench.Unplug();
  const std::string image(lumbra::transfer::FirmwareImage::Bytes().begin(), lumbra::transfer::FirmwareImage::Bytes().end());
  using lumbra::emulator::kSectorSize;
  constexpr std::size_t kCut = (1000 - 1) / (kSectorSize / lumbra::protocol::kChunkSize) * kSectorSize;
  constexpr std::size_t kAfter = kCut + kSectorSize, kBoot = 0xF000;
  ASSERT_EQ(flashes[1].size(), image.size());
  EXPECT_EQ(flashes[1].substr(0, kCut), image.substr(0, kCut));
  EXPECT_EQ(flashes[1].substr(kAfter, kBoot - kAfter), std::string(kBoot - kAfter, '\xFF'));
  for (std::size_t i : {0, 2, 3}) EXPECT_TRUE(HoldsImage(flashes[i])) << i;
}

// A gadget bound after watch started is flashed once, and again after it is
// unbound and bound, on the same port.
TEST(CliSystem, WatchFlashesAGadgetOnEachBind) {
  const pid_t station = Spawn({gCli, "watch", "--pace", "0", "--json"}, kOutput);
  ::usleep(500000);
  Bench bench({""}, /*usb=*/true);
  EXPECT_TRUE(WaitFor([] { return Events("result").size() == 1; }, std::chrono::seconds(120)));
  ASSERT_TRUE(lumbra::vm::BindGadget(0, false));
  EXPECT_TRUE(WaitFor([] { return lumbra::vm::UsbNode(0).empty(); }));
  ASSERT_TRUE(lumbra::vm::BindGadget(0, true));
  EXPECT_TRUE(WaitFor([] { return Events("result").size() == 2; }, std::chrono::seconds(120)));
  ::kill(station, SIGTERM);
  EXPECT_EQ(ExitCode(station), 0);
  EXPECT_EQ(Verdicts(true), std::vector<std::string>(2, "verified"));
  for (const nlohmann::json& result : Events("result")) {
    EXPECT_EQ(result["port"], "1-1");
    std::printf("one cycle through dummy_hcd at --pace 0, alone: %.2f s\n", result.value("seconds", 0.0));
  }
  EXPECT_TRUE(HoldsImage(bench.Unplug()[0]));
}

}  // namespace
