// lumbra-cli against the emulated controller on a USB full-speed frame model
// (1 ms frames: a write completes at the next frame boundary, an answer is
// readable one frame after its line), at --pace 0: how close a cycle comes to
// the least the bus allows, and whether four controllers at once take longer
// than one. Also the tool's own CPU per cycle, on the zero-latency platform.
//
// The floor, in frames: "service.on" and Start download are each a write, a
// 2 ms pause and the answer (3 frames); each of the 64 sectors is a Sector
// address pair (2), 64 chunk writes (64) and a Sector checksum pair (2); the
// verification is 4,096 Verify address pairs (2 each). 6 + 64 x 68 + 8,192 =
// 12,550 frames: 12.550 s, less the part of the first frame already gone.
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <ostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "emulator/emulated_hid_platform.h"

namespace {

constexpr double kFloorSeconds = (6 + 64 * 68 + 4096 * 2) / 1000.0;

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// One --all --pace 0 cycle of `controllers` controllers; its wall and CPU seconds.
bool Cycle(int controllers, bool frameModel, double& wall, double& cpu) {
  lumbra::emulator::EmulatedHidPlatform platform;
  lumbra::emulator::ControllerOptions options;
  options.transcriptCapacity = 0;
  for (int i = 0; i < controllers; ++i) platform.AddController(options);
  if (frameModel) platform.UseFrameModel();
  std::ostream discard(nullptr);
  lumbra::cli::StopSignal stop;
  const std::vector<std::string> args = {"flash", "--all", "--pace", "0", "--json"};
  const double cpuBefore = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  const int code = lumbra::cli::RunCli(args, &platform, {discard, discard}, stop);
  wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cpu = CpuSeconds() - cpuBefore;
  return code == 0;
}

void Run(benchmark::State& state, bool frameModel) {
  const int controllers = static_cast<int>(state.range(0));
  double wallTotal = 0;
  double cpuTotal = 0;
  for (auto _ : state) {
    double wall = 0;
    double cpu = 0;
    if (!Cycle(controllers, frameModel, wall, cpu)) state.SkipWithError("not every controller verified");
    state.SetIterationTime(wall);
    wallTotal += wall;
    cpuTotal += cpu;
  }
  const double cycles = static_cast<double>(state.iterations());
  state.counters["cpu_s_per_controller"] = cpuTotal / cycles / controllers;
  if (frameModel) state.counters["ratio_to_floor"] = wallTotal / cycles / kFloorSeconds;
}

void BM_FrameModel(benchmark::State& state) { Run(state, true); }
void BM_ZeroLatency(benchmark::State& state) { Run(state, false); }

BENCHMARK(BM_FrameModel)->Arg(1)->Arg(4)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZeroLatency)->Arg(1)->Arg(4)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
