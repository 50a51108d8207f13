// How close the dialog keeps to its tick budget: a whole download and
// verification in lumbra-demo's dialog, on the product's 25 ms timer, against
// the emulated controller, which answers at once. With the controller taking
// no time, any excess over 12,421 ticks x 25 ms is the dialog's own: late or
// lost timer periods, field updates, painting. Also reports the CPU time the
// process used, which is what the dialog costs a service laptop while it waits.
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>

#include "demo/demo_session.h"
#include "app/firmware_dialog.h"
#include "transfer/firmware_image.h"

namespace {

// Ticks of a download without resends (handshake, Start, 64 sectors of 66,
// Finish) and of the verification after it (Begin, 4,096 blocks of 2, Done).
constexpr int kBudgetTicks = 4227 + 8194;

double CpuSeconds(const timeval& time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; }

}  // namespace

int main(int argc, char* argv[]) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  lumbra::app::DemoSession demo;
  lumbra::app::FirmwareDialog dialog(demo.Platform());
  demo.Attach(dialog, {.autostart = true, .closeAtEnd = true, .screenshotDir = {}});

  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  QElapsedTimer wall;
  wall.start();
  dialog.exec();
  const double wallSeconds = double(wall.nsecsElapsed()) / 1e9;
  rusage after{};
  getrusage(RUSAGE_SELF, &after);

  const double user = CpuSeconds(after.ru_utime) - CpuSeconds(before.ru_utime);
  const double system = CpuSeconds(after.ru_stime) - CpuSeconds(before.ru_stime);
  const double budget = kBudgetTicks * lumbra::transfer::kTickPeriodMs / 1000.0;

  const auto flash = demo.Controller().Flash();
  int wrongBytes = 0;
  for (std::uint32_t address = 0; address < lumbra::transfer::kImageSize; ++address) {
    if (demo.Controller().IsProtected(address)) continue;
    if (flash[address] != lumbra::transfer::FirmwareImage::Byte(address)) ++wrongBytes;
  }

  std::printf("final message box   %s\n", qPrintable(demo.FinalBoxText().replace('\n', ' ')));
  std::printf("flash bytes wrong   %d\n", wrongBytes);
  std::printf("wall time           %.3f s (to the dialog's end; the end is seen within 50 ms)\n",
              wallSeconds);
  std::printf("budget              %.3f s (%d ticks x %d ms)\n", budget, kBudgetTicks,
              lumbra::transfer::kTickPeriodMs);
  std::printf("wall / budget       %.4f\n", wallSeconds / budget);
  std::printf("CPU time            %.3f s (user %.3f s, system %.3f s), %.2f %% of wall\n",
              user + system, user, system, 100.0 * (user + system) / wallSeconds);
  return demo.Ended() && wrongBytes == 0 ? 0 : 1;
}
