// The tool's own cost of a whole download and verification against the
// zero-latency emulated controller, driven tick by tick: everything a cycle
// costs apart from the 25 ms pacing of the dialog's timer.
#include <benchmark/benchmark.h>

#include "emulator/emulated_hid_platform.h"
#include "support/recording_dialog.h"
#include "transfer/messages.h"
#include "transfer/transfer_controller.h"

namespace {

using lumbra::transfer::TransferController;

struct Rig {
  Rig() {
    lumbra::emulator::ControllerOptions options;
    options.transcriptCapacity = 0;
    platform.AddController(options);
    controller.Init();
  }
  lumbra::emulator::EmulatedHidPlatform platform;
  lumbra::testing::RecordingDialog dialog;
  TransferController controller{platform, dialog};
};

void BM_DownloadAndVerify(benchmark::State& state) {
  std::int64_t ticks = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Rig rig;
    state.ResumeTiming();
    rig.controller.BeginDownload();
    while (rig.controller.Busy()) {
      rig.controller.OnTick();
      ++ticks;
    }
    if (rig.dialog.Status() != lumbra::transfer::kVerifyFinished) state.SkipWithError("cycle failed");
  }
  state.counters["ticks/cycle"] = static_cast<double>(ticks) / static_cast<double>(state.iterations());
  state.counters["per_tick"] = benchmark::Counter(static_cast<double>(ticks),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DownloadAndVerify)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
