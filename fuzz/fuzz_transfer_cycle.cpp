// Whole downloads and verifications against the emulated controller with
// faults the fuzzer chooses: up to eight faults of any kind, aimed at any
// command, sector and frame, plus flash disturbed before the read-back and
// the button pressed again during the verification. The cycle runner is the
// fault matrix's, so the rules are the same:
// - no hang: every activity ends within a bounded number of ticks;
// - flags are changed before each message box, no tick under a box sends a
//   line, no handle is leaked;
// - "Verify Finished" only when the flash holds the image outside the boot
//   code, unless a fault made the read-back itself lie.
//
// Input: 8 bytes per fault; a last incomplete record chooses the extras.
// LUMBRA_FUZZ_TRACE=1 prints each run's ending, for replaying by hand.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "emulator/fault.h"
#include "fuzz_check.h"
#include "support/cycle_runner.h"
#include "support/wire.h"
#include "transfer/firmware_image.h"

namespace emu = lumbra::emulator;
namespace rel = lumbra::reliability;

constexpr std::size_t kRecord = 8;
constexpr std::size_t kMaxFaults = 8;
constexpr int kFaultKinds = static_cast<int>(emu::FaultKind::kFailWrite) + 1;
constexpr int kCommands = static_cast<int>(emu::Command::kVerifyAddress) + 1;
constexpr int kCorruptions = static_cast<int>(emu::Corruption::kEmpty) + 1;

// Texts an invented report may carry: answers of each kind, and blocks of
// the image, so that one could be taken for the answer to a later request.
static std::string ExtraText(std::uint8_t pick) {
  static const std::string kAnswers[] = {"52454144594B", "4F4B04", "00FFFFFFFF", "SERVICE ON"};
  if (pick < 4) return kAnswers[pick];
  const auto image = lumbra::transfer::FirmwareImage::Bytes();
  const std::size_t block = pick == 255 ? 0xFFF0 : 16u * (pick - 4u);  // or the last one
  return lumbra::testing::wire::HexWithCheck(image.subspan(block, 16));
}

static emu::Fault FaultFrom(const std::uint8_t* b) {
  emu::Fault fault;
  fault.kind = static_cast<emu::FaultKind>(b[0] % kFaultKinds);
  if (b[1] % (kCommands + 1) != kCommands) {
    fault.target.command = static_cast<emu::Command>(b[1] % (kCommands + 1));
  }
  if (b[2] < 192) fault.target.sector = b[2] % 64;
  fault.target.ordinal = b[3];
  fault.times = b[4] % 8 == 7 ? emu::kEveryTime : b[4] % 8 + 1;
  fault.address = (b[5] | b[6] << 8) % emu::kFlashSize;
  fault.mask = b[7];
  fault.value = b[5];
  fault.otherSector = b[6] % 64;
  fault.chunkA = b[5] % 64;
  fault.chunkB = b[6] % 64;
  fault.replugAfter = b[7] % 4 == 3 ? emu::kNeverReplug : b[7] % 4;
  fault.corruption = static_cast<emu::Corruption>(b[5] % kCorruptions);
  fault.text = ExtraText(b[6]);
  if (fault.kind == emu::FaultKind::kFlipBit) fault.address %= 16;
  return fault;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rel::Setup setup;
  std::size_t pos = 0;
  for (; pos + kRecord <= size && setup.faults.size() < kMaxFaults; pos += kRecord) {
    setup.faults.push_back(FaultFrom(data + pos));
  }
  if (pos + 2 <= size) {  // extras: a disturbed cell and a second press
    const std::uint32_t cell = (data[pos] | data[pos + 1] << 8) % emu::kFlashSize;
    if (data[pos] & 1) setup.disturbBeforeVerify.push_back(cell);
    if (data[pos + 1] & 1) setup.pressAtVerifyAddress = cell & ~0xFu;
  }
  const bool readBackLies = std::any_of(setup.faults.begin(), setup.faults.end(),
                                       [](const emu::Fault& f) { return f.kind == emu::FaultKind::kReadBackFill; });

  const rel::CycleResult result = rel::RunCycle(setup);
  static const bool trace = std::getenv("LUMBRA_FUZZ_TRACE") != nullptr;
  if (trace) {
    std::fprintf(stderr, "%zu faults, %d ticks, status \"%s\", %zu boxes\n", setup.faults.size(),
                 result.ticks, result.status.c_str(), result.boxes.size());
  }
  for (const std::string& violation : result.violations) {
    std::fprintf(stderr, "violation: %s\n", violation.c_str());
  }
  FUZZ_CHECK(result.violations.empty());
  FUZZ_CHECK(readBackLies || !result.FalsePass());
  return 0;
}
