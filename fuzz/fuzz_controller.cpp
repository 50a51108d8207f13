// The emulated controller fed with arbitrary output reports: a run of reports
// (separated by the byte 0xA5 in the input), each followed by a read. The
// controller must never touch its boot code, never hold more reports than its
// queue, and hand out reports that are text followed only by zero fill; with
// no fault set, that text is "SERVICE ON" or upper-case hex digits whose last
// byte is the XOR of the others.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "emulator/quorvex_controller.h"
#include "fuzz_check.h"

namespace emu = lumbra::emulator;

static bool WellFormed(const std::string& text) {
  if (text == emu::kServiceOnAnswer) return true;
  if (text.empty() || text.size() % 2 != 0 || text.find_first_not_of("0123456789ABCDEF") != text.npos) {
    return false;
  }
  unsigned long check = 0;
  for (std::size_t i = 0; i < text.size(); i += 2) check ^= std::stoul(text.substr(i, 2), nullptr, 16);
  return check == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Building a controller lays out 64 KiB of flash; copying a fresh one is
  // far cheaper and just as fresh.
  static const emu::QuorvexController pristine(emu::ControllerOptions{.transcriptCapacity = 4});
  emu::QuorvexController controller = pristine;

  std::array<std::uint8_t, emu::kReportDataSize> report{};
  const std::uint8_t* begin = data;
  const std::uint8_t* end = data + size;
  while (begin <= end) {
    const std::uint8_t* next = std::find(begin, end, std::uint8_t{0xA5});
    // Reports are 64 data bytes on the wire; longer pieces are cut there.
    const auto length = std::min<std::size_t>(static_cast<std::size_t>(next - begin), emu::kReportDataSize);
    controller.ReceiveReport(std::span(begin, length));
    FUZZ_CHECK(controller.QueuedReports() <= emu::kReportQueueCapacity);
    if (controller.PollReport(report)) {
      const auto zero = std::find(report.begin(), report.end(), std::uint8_t{0});
      FUZZ_CHECK(std::all_of(zero, report.end(), [](std::uint8_t b) { return b == 0; }));
      FUZZ_CHECK(WellFormed(std::string(report.begin(), zero)));
    }
    if (next == end) break;
    begin = next + 1;
  }
  const auto boot = pristine.Flash().subspan(0xF000, 0xC00);
  FUZZ_CHECK(std::equal(boot.begin(), boot.end(), controller.Flash().begin() + 0xF000));
  return 0;
}
