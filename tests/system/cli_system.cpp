// lumbra-cli on a real kernel: several virtual controllers (uhid) at once,
// told apart by their hidraw paths (they share a serial number), flashed by
// lumbra-cli over hidapi, judged by its exit code, its JSON results
// and the flash each controller dumps when it ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/cycle_runner.h"
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
  // `unplugAt` per controller: empty for one that stays plugged in.
  explicit Bench(const std::vector<std::string>& unplugAt) {
    for (const std::string& at : unplugAt) {
      const std::string out = "/tmp/cli-flash-" + std::to_string(pids_.size()) + ".bin";
      std::filesystem::remove(out);
      std::vector<std::string> args = {gController, "--quiet", "--flash-out", out};
      if (!at.empty()) args.insert(args.end(), {"--unplug-at", at});
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

std::vector<std::string> Verdicts() {
  std::vector<std::string> verdicts;
  std::ifstream in(kOutput);
  for (std::string line; std::getline(in, line);) {
    const nlohmann::json event = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (event.is_object() && event.value("event", "") == "result") {
      verdicts.push_back(event["verdict"]);
      // uhid: no USB device above the hidraw node, so the path stands in.
      EXPECT_EQ(event["port"], event["device"]);
    }
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

}  // namespace
