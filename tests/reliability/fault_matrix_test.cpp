// The fault matrix: whole downloads and verifications against the emulated
// controller, one injected fault per scenario, each scenario over several
// seeds (the seed picks the sector, chunk, block or frame the fault hits, the
// old flash content or the boot code's place). Every run must end, must end
// with the status line and message boxes its fault calls for, must change
// its flags before every box, and may report "Verify Finished. Cycle Power."
// only when the emulated flash really holds the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "support/cycle_runner.h"
#include "support/wire.h"
#include "link/hid_link.h"
#include "transfer/firmware_image.h"
#include "transfer/messages.h"

namespace lumbra::reliability {
namespace {

using emulator::Command;
using emulator::Corruption;
using emulator::Fault;
namespace msg = transfer;
using Range = std::pair<std::uint32_t, std::uint32_t>;

constexpr int kSeeds = 8;
constexpr std::uint32_t kSector = 0x400, kBlock = 16, kLast = 0xFFFF;
// Sectors 0..23 of the image hold code throughout; later ones are mostly
// 0xFF padding, where a misplaced chunk may change nothing at all.
constexpr std::uint32_t kCodeSectors = 24;
constexpr int kMaxListed = 100;  // differences a verification lists before it aborts
constexpr auto Image = &transfer::FirmwareImage::Bytes;

// What a scenario's run is made from: its seed, and numbers drawn from it
// (splitmix64), pick(n) being one below n.
struct Pick {
  std::uint64_t state;
  int seed;
  std::uint32_t operator()(std::uint32_t n) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint32_t>((z ^ (z >> 31)) % n);
  }
};

// Frame numbers of an undisturbed run: "service.on" is 1, Start download 2,
// then 66 frames per sector (address, 64 chunks, checksum), then one frame
// per verified block.
std::uint32_t AddressFrame(std::uint32_t sector) { return 3 + 66 * sector; }
std::uint32_t ChunkFrame(std::uint32_t sector, std::uint32_t chunk) { return 4 + 66 * sector + chunk; }
std::uint32_t ChecksumFrame(std::uint32_t sector) { return 68 + 66 * sector; }
std::uint32_t VerifyFrame(std::uint32_t block) { return 4227 + block; }

std::string BlockText(std::uint32_t address) {
  return testing::wire::HexWithCheck(Image().subspan(address, kBlock));
}
// Lower case changes nothing in an answer without letters.
bool HasHexLetter(const std::string& text) { return text.find_first_of("ABCDEF") != std::string::npos; }
bool SumHasHexLetter(std::uint32_t sector) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : Image().subspan(sector * kSector, kSector)) sum += b;
  const std::uint8_t bytes[] = {static_cast<std::uint8_t>(sum >> 24), static_cast<std::uint8_t>(sum >> 16),
                                static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)};
  return HasHexLetter(testing::wire::HexWithCheck(bytes));
}

// A code chunk: one whose loss or doubling changes the sector's sum.
std::uint32_t CodeChunk(Pick& pick) {
  for (;;) {
    const std::uint32_t sector = pick(kCodeSectors);
    const std::uint32_t chunk = pick(64);
    const auto bytes = Image().subspan(sector * kSector + chunk * kBlock, kBlock);
    if (!std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; })) {
      return sector * 64 + chunk + 1;  // its ordinal among the data frames
    }
  }
}

struct Expect {
  Expect(std::string_view status, std::vector<std::string_view> boxes, int resends = -1, int errors = -1,
         std::optional<Range> window = {})
      : status(status), boxes(std::move(boxes)), resends(resends), errors(errors), window(window) {}
  std::string_view status;
  std::vector<std::string_view> boxes;
  int resends = -1;  // sector resends begun; -1: not checked
  int errors = -1;   // differences listed; -1: not checked
  std::optional<Range> window;  // skip window start, end
};
using Case = std::pair<Setup, Expect>;

Expect Pass(int resends = 0, std::optional<Range> window = {}) {
  return {msg::kVerifyFinished, {msg::kVerifyFinishedBox}, resends, 0, window};
}
const Expect kStartFailed{msg::kStartFailed, {msg::kStartFailedBox}};
const Expect kAddressFailed{msg::kSectorAddressFailed, {msg::kSectorAddressFailedBox}};
const Expect kAddressSendFailed{msg::kSectorAddressFailed,
                                {msg::kDownloadSendFailedBox, msg::kSectorAddressFailedBox}};
const Expect kDownloadFailed{msg::kDownloadFailed, {msg::kDownloadFailedBox}, 5};
const Expect kVerifyReadFailed{msg::kVerifyAddressFailed, {msg::kVerifyReadFailedBox}};
// The ending a verification must reach for the given number of differences.
Expect Differ(int differences, int resends = -1) {
  if (differences > kMaxListed) {
    return {msg::kVerifyAborted, {msg::kVerifyAbortedBox}, resends, kMaxListed + 1};
  }
  return {msg::kVerifyFailed, {msg::kVerifyFailedBox}, resends, differences};
}

Setup With(Fault fault, Setup setup = {}) {
  setup.faults = {std::move(fault)};
  return setup;
}
// Old flash content the seed chooses: erased, zeros, a pattern, or the image;
// the boot code, which holds no 0xFF, as a fresh controller holds it.
Setup OldFlash(int seed) {
  Setup setup;
  static constexpr std::uint8_t kFills[] = {0xFF, 0x00, 0xA5, 0x3C};
  const emulator::QuorvexController fresh(setup.options);
  std::vector<std::uint8_t>& flash = setup.options.initialFlash;
  flash.assign(fresh.Flash().begin(), fresh.Flash().end());
  std::replace(flash.begin(), flash.end(), std::uint8_t{0xFF}, kFills[seed % 4]);
  if (seed % 4 == 3) std::copy_n(Image().begin(), 0xF000, flash.begin());
  return setup;
}
// Boot code placements the seed chooses, each sector aligned, none at the end.
Setup BootCode(int seed) {
  static constexpr Range kRanges[] = {{0xF000, 0xFC00}, {0x0000, 0x0400}, {0x4000, 0x4800}, {0xE000, 0xFC00}};
  Setup setup;
  std::tie(setup.options.protectedBegin, setup.options.protectedEnd) = kRanges[seed % 4];
  return setup;
}
// Flash cells that change between the download and the verification.
Case Disturbed(std::vector<std::uint32_t> addresses, Setup setup = {}) {
  const int count = static_cast<int>(addresses.size());
  setup.disturbBeforeVerify = std::move(addresses);
  return {setup, Differ(count, 0)};
}
template <int count>
Case Spread(Pick& pick) {
  std::vector<std::uint32_t> addresses;
  while (static_cast<int>(addresses.size()) < count) {
    const std::uint32_t a = pick(0xF000);
    if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) addresses.push_back(a);
  }
  return Disturbed(addresses);
}
// With the boot code in its usual place, or with none at all.
Setup BootCodeOrNone(int seed) {
  Setup setup;
  if (seed % 2 == 1) setup.options.protectedBegin = setup.options.protectedEnd = 0;
  return setup;
}

template <std::uint32_t times>
Case WrongChecksum(Pick& pick) {
  return {With(Fault::WrongChecksum(pick(kCodeSectors), times)),
          times <= 5 ? Pass(static_cast<int>(times)) : kDownloadFailed};
}

// One spoilt answer; the seed chooses the request: Start download, a sector
// address, a sector checksum or a verify block.
template <Corruption corruption>
Case Spoilt(Pick& pick) {
  const std::uint32_t sector = pick(kCodeSectors);
  const std::uint32_t block = pick(4096);
  const bool lower = corruption == Corruption::kLowerCase;
  switch (pick.seed % 4) {
    case 0: return {With(Fault::CorruptAnswer(corruption, Command::kStartDownload)), kStartFailed};
    case 1: return {With(Fault::CorruptAnswer(corruption, Command::kSectorAddress, sector + 1)), kAddressFailed};
    case 2:
      return {With(Fault::CorruptAnswer(corruption, Command::kSectorChecksum, sector + 1)),
              Pass(lower && !SumHasHexLetter(sector) ? 0 : 1)};
    default:
      return {With(Fault::CorruptAnswer(corruption, Command::kVerifyAddress, block + 1)),
              lower && !HasHexLetter(BlockText(block * kBlock)) ? Pass() : kVerifyReadFailed};
  }
}

// Any chunk of any sector.
std::uint32_t AnyChunkFrame(Pick& pick) {
  const std::uint32_t sector = pick(64);
  return ChunkFrame(sector, pick(64));
}
// The seed chooses the line whose write fails: a chunk, a sector address, a
// checksum request or a verify block request.
std::uint32_t WriteOf(Pick& pick) {
  const std::uint32_t sector = pick(64);
  switch (pick.seed % 4) {
    case 0: return ChunkFrame(sector, pick(64));
    case 1: return AddressFrame(sector);
    case 2: return ChecksumFrame(sector);
    default: return VerifyFrame(pick(4096));
  }
}

struct Scenario {
  const char* name;
  Case (*make)(Pick&);
};

const Scenario kScenarios[] = {
    {"clean download over old flash content", [](Pick& pick) { return Case{OldFlash(pick.seed), Pass()}; }},
    {"dropped chunk", [](Pick& pick) { return Case{With(Fault::DropChunk(CodeChunk(pick))), Pass(1)}; }},
    {"duplicated chunk", [](Pick& pick) { return Case{With(Fault::DuplicateChunk(CodeChunk(pick))), Pass(1)}; }},
    {"one flipped bit in a chunk",
     [](Pick& pick) -> Case {
       const std::uint32_t chunk = CodeChunk(pick);
       const auto mask = static_cast<std::uint8_t>(1u << pick(8));
       return {With(Fault::FlipBit(chunk, pick(16), mask)), Pass(1)};
     }},
    {"stuck bit defeats all five resends",
     [](Pick& pick) -> Case {
       const std::uint32_t address = pick(kCodeSectors * kSector);
       const auto mask = static_cast<std::uint8_t>(1u << pick(8));
       // Stuck at the value the image does not want there.
       const auto value = static_cast<std::uint8_t>(~Image()[address] & mask);
       return {With(Fault::StuckBits(address, mask, value)), kDownloadFailed};
     }},
    // Old content the image cannot be programmed over.
    {"sector left unerased once",
     [](Pick& pick) { return Case{With(Fault::SkipErase(pick(kCodeSectors)), OldFlash(pick.seed % 2 + 1)), Pass(1)}; }},
    {"sector never erased",
     [](Pick& pick) -> Case {
       return {With(Fault::SkipErase(pick(kCodeSectors), emulator::kEveryTime), OldFlash(pick.seed % 2 + 1)),
               kDownloadFailed};
     }},
    {"checksum answer for the wrong sector",
     [](Pick& pick) -> Case {
       const std::uint32_t sector = pick(kCodeSectors);
       const std::uint32_t other = (sector + 1 + pick(kCodeSectors - 1)) % kCodeSectors;
       return {With(Fault::ForeignChecksum(sector, other)), Pass(1)};
     }},
    {"wrong checksum once", WrongChecksum<1>},
    {"wrong checksum five times, last resend good", WrongChecksum<5>},
    {"wrong checksum six times", WrongChecksum<6>},
    {"swapped chunks, same sum, caught by read-back",
     [](Pick& pick) -> Case {
       for (;;) {
         const std::uint32_t base = pick(kCodeSectors) * kSector;
         const std::uint32_t a = pick(64);
         const std::uint32_t b = pick(64);
         int differences = 0;
         for (std::uint32_t i = 0; i < kBlock; ++i)
           differences += Image()[base + a * kBlock + i] != Image()[base + b * kBlock + i];
         // Same bytes, so the same sum: only the read-back can tell.
         if (differences > 0) return {With(Fault::SwapChunks(base / kSector, a, b)), Differ(2 * differences, 0)};
       }
     }},
    {"read-back all 0xFF", [](Pick&) { return Case{With(Fault::ReadBackFill(0xFF)), Differ(101)}; }},
    {"read-back all 0x00", [](Pick&) { return Case{With(Fault::ReadBackFill(0x00)), Differ(101)}; }},
    // The tool gives up on the answer and resends the sector; the answer that
    // turns up late is waiting when the address goes out and must be dropped,
    // not taken for the address's answer.
    {"late checksum answer after a time-out, resent",
     [](Pick& pick) -> Case {
       Fault late = Fault::LateAnswer(0);
       late.target = {Command::kSectorChecksum, pick(kCodeSectors), 0};
       return {With(late), Pass(1)};
     }},
    {"late verify block answer after a time-out",
     [](Pick& pick) { return Case{With(Fault::LateAnswer(VerifyFrame(pick(4096)))), kVerifyReadFailed}; }},
    // A report nobody asked for, waiting when the next line goes out.
    {"extra report after a checksum answer",
     [](Pick& pick) -> Case {
       static const char* kTexts[] = {"4F4B04", "SERVICE ON", "", "00FFFFFFFF"};
       return {With(Fault::ExtraReport(ChecksumFrame(pick(kCodeSectors)), kTexts[pick.seed % 4])), Pass()};
     }},
    // An unsolicited report that is exactly the image's next block, while the
    // flash there holds one wrong byte: taken for the next answer, it would
    // hide that byte and put every later answer one block behind.
    {"extra report that looks like the next block, flash wrong there",
     [](Pick& pick) -> Case {
       const std::uint32_t block = pick(kCodeSectors * 64 - 2);
       const std::uint32_t next = (block + 1) * kBlock;
       Setup setup = With(Fault::ExtraReport(VerifyFrame(block), BlockText(next)));
       setup.disturbBeforeVerify = {next + pick(kBlock)};
       return {setup, Differ(1, 0)};
     }},
    // The same where the image is 0xFF padding up to its end: there shifted
    // answers would still match, and the last block's own answer would never
    // be read, so a wrong byte in it would pass as verified.
    {"extra block report in the trailing padding, last block wrong",
     [](Pick& pick) -> Case {
       const std::uint32_t block = 4096 - 64 + pick(63);
       Setup setup = With(Fault::ExtraReport(VerifyFrame(block), BlockText(kLast - 15)));
       setup.disturbBeforeVerify = {kLast - pick(kBlock)};
       return {setup, Differ(1)};
     }},
    // The download goes ahead without service mode confirmed.
    {"no answer to service.on", [](Pick& pick) { return Case{With(Fault::NoAnswer(1), OldFlash(pick.seed)), Pass()}; }},
    {"no answer to Start download", [](Pick&) { return Case{With(Fault::NoAnswer(2)), kStartFailed}; }},
    {"no answer to a sector address",
     [](Pick& pick) { return Case{With(Fault::NoAnswer(AddressFrame(pick(64)))), kAddressFailed}; }},
    {"no answer to a sector checksum",
     [](Pick& pick) { return Case{With(Fault::NoAnswer(ChecksumFrame(pick(kCodeSectors)))), Pass(1)}; }},
    {"no answer to a verify block",
     [](Pick& pick) { return Case{With(Fault::NoAnswer(VerifyFrame(pick(4096)))), kVerifyReadFailed}; }},
    {"answer with a bad XOR byte", Spoilt<Corruption::kWrongXor>},
    {"answer with an odd number of digits", Spoilt<Corruption::kOddDigits>},
    {"answer in lower case", Spoilt<Corruption::kLowerCase>},
    {"answer with a non-hex character", Spoilt<Corruption::kNonHex>},
    {"answer one byte short", Spoilt<Corruption::kTooFewBytes>},
    {"answer one byte long", Spoilt<Corruption::kTooManyBytes>},
    {"empty answer", Spoilt<Corruption::kEmpty>},
    // "SERVICE ON!" still starts with the ten characters that count.
    {"spoilt SERVICE ON answer",
     [](Pick& pick) -> Case {
       static constexpr Corruption kKinds[] = {Corruption::kLowerCase, Corruption::kEmpty, Corruption::kTooFewBytes,
                                               Corruption::kTooManyBytes};
       return {With(Fault::CorruptAnswer(kKinds[pick.seed % 4], Command::kServiceOn)), Pass()};
     }},
    {"unplug during the handshake",
     [](Pick& pick) -> Case {
       return {With(Fault::Unplug(1), OldFlash(pick.seed)),
               {msg::kStartFailed, {msg::kDownloadSendFailedBox, msg::kStartFailedBox}}};
     }},
    // Powered up again, the controller has left service mode and takes no
    // download; the next press of the button asks it again.
    {"unplug during the handshake, replugged",
     [](Pick& pick) { return Case{With(Fault::Unplug(1, 0), OldFlash(pick.seed)), kStartFailed}; }},
    {"unplug during a sector",
     [](Pick& pick) -> Case {
       return {With(Fault::Unplug(AnyChunkFrame(pick))), {link::kNotDetected, {msg::kDownloadSendFailedBox}}};
     }},
    // Powered up again, the controller has forgotten the sector: the rest of
    // its chunks go nowhere, the checksum goes unanswered and the sector is resent.
    {"unplug during a sector, replugged",
     [](Pick& pick) { return Case{With(Fault::Unplug(AnyChunkFrame(pick), 0)), Pass(1)}; }},
    {"unplug during the checksum read-back",
     [](Pick& pick) { return Case{With(Fault::Unplug(ChecksumFrame(pick(64)))), kAddressSendFailed}; }},
    {"unplug during the checksum read-back, replugged",
     [](Pick& pick) { return Case{With(Fault::Unplug(ChecksumFrame(pick(64)), 0)), Pass(1)}; }},
    {"unplug during the verification",
     [](Pick& pick) { return Case{With(Fault::Unplug(VerifyFrame(pick(4096)))), kVerifyReadFailed}; }},
    {"unplug during the verification, replugged",
     [](Pick& pick) { return Case{With(Fault::Unplug(VerifyFrame(pick(4096)), 0)), kVerifyReadFailed}; }},
    {"a write fails once", [](Pick& pick) { return Case{With(Fault::FailWrite(WriteOf(pick), 1)), Pass()}; }},
    // The retry on a fresh link fails too: the line is lost for good. After a
    // data or checksum line nothing is read; for a verify block the send
    // failure and the rejected block would say the same: once.
    {"a write fails twice",
     [](Pick& pick) -> Case {
       const Expect kLost[] = {{link::kCantWrite, {msg::kDownloadSendFailedBox}}, kAddressSendFailed,
                               {link::kCantWrite, {msg::kDownloadSendFailedBox}}, kVerifyReadFailed};
       return {With(Fault::FailWrite(WriteOf(pick), 2)), kLost[pick.seed % 4]};
     }},
    {"99 differing bytes", Spread<99>},
    {"100 differing bytes", Spread<100>},
    {"101 differing bytes", Spread<101>},
    {"difference only in the last byte (0xFFFF)",
     [](Pick& pick) { return Disturbed({kLast}, BootCodeOrNone(pick.seed)); }},
    {"difference only in the first byte (0x0000)",
     [](Pick& pick) { return Disturbed({0}, BootCodeOrNone(pick.seed)); }},
    {"differences right beside the boot code",
     [](Pick& pick) {
       const Setup setup = BootCode(pick.seed);
       std::vector<std::uint32_t> addresses{setup.options.protectedEnd};
       if (setup.options.protectedBegin > 0) addresses.push_back(setup.options.protectedBegin - 1);
       return Disturbed(addresses, setup);
     }},
    // The window ends one byte before the first sector that matched after it.
    {"boot code answered 0x00FFFFFF, later sector matches",
     [](Pick& pick) {
       const Setup boot = BootCode(pick.seed);
       return Case{boot, Pass(0, Range{boot.options.protectedBegin, boot.options.protectedEnd - 1})};
     }},
    {"boot code answered 0x00FFFFFF up to the end",
     [](Pick& pick) -> Case {
       static constexpr std::uint32_t kBegins[] = {0xF000, 0xFC00, 0x8000, 0x0000};
       Setup setup;
       setup.options.protectedBegin = kBegins[pick.seed % 4];
       setup.options.protectedEnd = 0x10000;
       return {setup, Pass(0, Range{kBegins[pick.seed % 4], kLast})};
     }},
    {"Download pressed again during the verification",
     [](Pick& pick) -> Case {
       Setup setup;
       setup.pressAtVerifyAddress = pick(4096) * kBlock;
       return {setup, Pass()};
     }},
};

struct Totals {
  int scenarios = 0, runs = 0, failuresDetected = 0, recovered = 0, resends = 0, falsePasses = 0;
  long long ticks = 0;
} totals;

class FaultMatrix : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultMatrix, EndsAsTheFaultRequires) {
  const Scenario& scenario = GetParam();
  ++totals.scenarios;
  for (int seed = 0; seed < kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::uint64_t start = static_cast<std::uint64_t>(seed) * 7919 + std::hash<std::string>{}(scenario.name);
    Pick pick{start * 0x9E3779B97F4A7C15ull + 1, seed};
    const auto [setup, expect] = scenario.make(pick);
    CycleResult result = RunCycle(setup);
    if (std::getenv("LUMBRA_MATRIX_VERBOSE") != nullptr) {
      std::cout << scenario.name << " | seed " << seed << " | ticks " << result.ticks << " | resends "
                << result.resends << " | " << result.status << '\n';
    }
    ++totals.runs;
    totals.ticks += result.ticks;
    totals.resends += result.resends;
    totals.failuresDetected += !result.passed;
    totals.recovered += result.passed && result.faultFired && result.flashMatches;
    totals.falsePasses += result.FalsePass();

    EXPECT_FALSE(result.FalsePass()) << "reported as verified, but the flash differs from the image";
    EXPECT_TRUE(result.violations.empty()) << ::testing::PrintToString(result.violations);
    EXPECT_EQ(result.status, expect.status);
    EXPECT_EQ(result.boxes, std::vector<std::string>(expect.boxes.begin(), expect.boxes.end()));
    if (expect.errors >= 0) { EXPECT_EQ(result.report.differences.size(), static_cast<std::size_t>(expect.errors)); }
    // Every difference counted is listed, one line each.
    const auto lines = std::ranges::count(result.fields[transfer::FieldId::kErrors], '\n');
    if (expect.errors > 0) { EXPECT_EQ(lines, expect.errors); }
    // A verification that ran to its end shows 100.00, whatever it found.
    if (expect.status == msg::kVerifyFinished || expect.status == msg::kVerifyFailed) {
      EXPECT_EQ(result.fields[transfer::FieldId::kVerifyPercent], msg::kPercentComplete);
    } else if (expect.status == msg::kVerifyAborted) {
      EXPECT_NE(result.fields[transfer::FieldId::kVerifyPercent], msg::kPercentComplete);
    }
    if (expect.resends >= 0) { EXPECT_EQ(result.resends, expect.resends); }
    if (expect.window) {
      const transfer::SkipWindow& window = result.report.skipWindow;
      EXPECT_TRUE(window.open && window.closed);
      EXPECT_EQ(Range(window.start, window.end), *expect.window);
    }
    // A scenario whose fault never took effect tests nothing.
    if (!setup.faults.empty() || !setup.disturbBeforeVerify.empty()) { EXPECT_TRUE(result.faultFired); }
    if (setup.pressAtVerifyAddress >= 0) { EXPECT_EQ(result.serviceOnLines, 1u); }
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultMatrix, ::testing::ValuesIn(kScenarios), [](const auto& info) {
  std::string name = info.param.name;
  for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

// Prints the figures once, after every scenario has run.
class Summary : public ::testing::Environment {
  void TearDown() override {
    std::cout << "fault matrix: scenarios=" << totals.scenarios << " runs=" << totals.runs
              << " failures_detected=" << totals.failuresDetected
              << " transient_faults_recovered=" << totals.recovered << " resends_used=" << totals.resends
              << " false_passes=" << totals.falsePasses << " ticks=" << totals.ticks << '\n';
  }
};
::testing::Environment* const summary = ::testing::AddGlobalTestEnvironment(new Summary);

}  // namespace
}  // namespace lumbra::reliability
