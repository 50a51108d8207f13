// The fault matrix: whole downloads and verifications against the emulated
// controller, one injected fault per scenario, each scenario over several
// seeds (the seed picks the sector, chunk, block or frame the fault hits, the
// old flash content or the boot code's place). Every run must end, must end
// with the status line and message boxes its fault calls for, must change
// its flags before every box, and may report "Verify Finished. Cycle Power."
// only when the flash really holds the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <tuple>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/cycle_runner.h"
#include "support/wire.h"
#include "emulator/line_parser.h"
#include "link/hid_link.h"
#include "transfer/firmware_image.h"
#include "transfer/messages.h"
#include "transfer/transfer_controller.h"

namespace lumbra::reliability {
namespace {

using emulator::Command;
using emulator::Corruption;
using emulator::Fault;
using emulator::FaultKind;
namespace msg = transfer;

constexpr int kSeeds = 8;
constexpr std::uint32_t kSectorSize = 0x400;
constexpr std::uint32_t kBlockSize = 16;
constexpr std::uint32_t kLastAddress = 0xFFFF;
// Sectors 0..23 of the image hold code throughout; later ones are mostly
// 0xFF padding, where a misplaced chunk may change nothing at all.
constexpr std::uint32_t kCodeSectors = 24;

// --- Seeds -------------------------------------------------------------------

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }

 private:
  std::uint64_t Next() {  // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint64_t state_;
};

// --- The image and the exchange -------------------------------------------------

constexpr auto Image = &transfer::FirmwareImage::Bytes;

// Frame numbers of an undisturbed run: "service.on" is 1, Start download 2,
// then 66 frames per sector (address, 64 chunks, checksum), then one frame
// per verified block.
std::uint32_t AddressFrame(std::uint32_t sector) { return 3 + 66 * sector; }
std::uint32_t ChunkFrame(std::uint32_t sector, std::uint32_t chunk) { return 4 + 66 * sector + chunk; }
std::uint32_t ChecksumFrame(std::uint32_t sector) { return 68 + 66 * sector; }
std::uint32_t VerifyFrame(std::uint32_t block) { return 4227 + block; }

std::string BlockText(std::uint32_t address) {
  return testing::wire::HexWithCheck(Image().subspan(address, kBlockSize));
}

std::string ChecksumText(std::uint32_t sector) {
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < kSectorSize; ++i) sum += Image()[sector * kSectorSize + i];
  const std::uint8_t bytes[] = {static_cast<std::uint8_t>(sum >> 24), static_cast<std::uint8_t>(sum >> 16),
                                static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)};
  return testing::wire::HexWithCheck(bytes);
}

bool HasHexLetter(const std::string& text) {
  return text.find_first_of("ABCDEF") != std::string::npos;
}

bool ChunkIsPadding(std::uint32_t sector, std::uint32_t chunk) {
  const auto bytes = Image().subspan(sector * kSectorSize + chunk * kBlockSize, kBlockSize);
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// A code chunk: one whose loss or doubling changes the sector's sum.
std::pair<std::uint32_t, std::uint32_t> CodeChunk(Rng& rng) {
  for (;;) {
    const std::uint32_t sector = rng.Below(kCodeSectors);
    const std::uint32_t chunk = rng.Below(64);
    if (!ChunkIsPadding(sector, chunk)) return {sector, chunk};
  }
}

// --- Expected endings ----------------------------------------------------------

struct Expect {
  std::string status;
  std::vector<std::string> boxes;
  int errors = -1;      // differences listed; -1: not checked
  int resends = -1;     // sector resends begun; -1: not checked
  std::optional<std::pair<std::uint32_t, std::uint32_t>> window;  // skip window start, end
};

struct Case {
  Setup setup;
  Expect expect;
};

Expect Ending(std::string_view status, std::initializer_list<std::string_view> boxes) {
  Expect expect;
  expect.status = status;
  for (std::string_view box : boxes) expect.boxes.emplace_back(box);
  return expect;
}
Expect Pass(int resends = 0) {
  Expect expect = Ending(msg::kVerifyFinished, {msg::kVerifyFinishedBox});
  expect.errors = 0;
  expect.resends = resends;
  return expect;
}
Expect StartFailed() { return Ending(msg::kStartFailed, {msg::kStartFailedBox}); }
Expect AddressFailed() { return Ending(msg::kSectorAddressFailed, {msg::kSectorAddressFailedBox}); }
Expect DownloadFailed() {
  Expect expect = Ending(msg::kDownloadFailed, {msg::kDownloadFailedBox});
  expect.resends = 5;
  return expect;
}
Expect VerifyReadFailed() {
  return Ending(msg::kVerifyAddressFailed, {msg::kVerifyReadFailedBox});
}
// The ending a verification must reach for the given number of differences.
Expect FromDifferences(int differences) {
  if (differences == 0) return Pass(-1);
  if (differences <= transfer::kMaxVerifyErrors) {
    Expect expect = Ending(msg::kVerifyFailed, {msg::kVerifyFailedBox});
    expect.errors = differences;
    return expect;
  }
  Expect expect = Ending(msg::kVerifyAborted, {msg::kVerifyAbortedBox});
  expect.errors = transfer::kMaxVerifyErrors + 1;
  return expect;
}

// --- Scenarios -------------------------------------------------------------------

using Maker = Case (*)(Rng&, int seed);

struct Scenario {
  const char* name;
  Maker make;
};

Setup With(Fault fault) {
  Setup setup;
  setup.faults = {std::move(fault)};
  return setup;
}

// Old flash content the seed chooses: erased, zeros, a pattern, or the image.
Setup OldFlash(int seed) {
  Setup setup;
  static constexpr std::uint8_t kFills[] = {0xFF, 0x00, 0xA5, 0x3C};
  setup.options.initialFlash = FlashWithBootCode(setup.options, kFills[seed % 4]);
  if (seed % 4 == 3) {
    std::copy(Image().begin(), Image().begin() + 0xF000, setup.options.initialFlash.begin());
  }
  return setup;
}

// Boot code placements the seed chooses, each sector aligned, none at the end.
std::pair<std::uint32_t, std::uint32_t> BootCode(int seed) {
  static constexpr std::pair<std::uint32_t, std::uint32_t> kRanges[] = {
      {0xF000, 0xFC00}, {0x0000, 0x0400}, {0x4000, 0x4800}, {0xE000, 0xFC00}};
  return kRanges[seed % 4];
}


Case DroppedChunk(Rng& rng, int) {
  const auto [sector, chunk] = CodeChunk(rng);
  return {With(Fault::DropChunk(sector * 64 + chunk + 1)), Pass(1)};
}

Case DuplicatedChunk(Rng& rng, int) {
  const auto [sector, chunk] = CodeChunk(rng);
  return {With(Fault::DuplicateChunk(sector * 64 + chunk + 1)), Pass(1)};
}

Case FlippedBit(Rng& rng, int) {
  const auto [sector, chunk] = CodeChunk(rng);
  const auto mask = static_cast<std::uint8_t>(1u << rng.Below(8));
  return {With(Fault::FlipBit(sector * 64 + chunk + 1, rng.Below(16), mask)), Pass(1)};
}

Case StuckBit(Rng& rng, int) {
  const std::uint32_t address = rng.Below(kCodeSectors * kSectorSize);
  const auto mask = static_cast<std::uint8_t>(1u << rng.Below(8));
  // Stuck at the value the image does not want there.
  const auto value = static_cast<std::uint8_t>(~Image()[address] & mask);
  return {With(Fault::StuckBits(address, mask, value)), DownloadFailed()};
}

Case UnerasedOnce(Rng& rng, int seed) {
  Setup setup = OldFlash(seed % 2 + 1);  // old content the image cannot be programmed over
  setup.faults = {Fault::SkipErase(rng.Below(kCodeSectors))};
  return {setup, Pass(1)};
}

Case NeverErased(Rng& rng, int seed) {
  Setup setup = OldFlash(seed % 2 + 1);
  setup.faults = {Fault::SkipErase(rng.Below(kCodeSectors), emulator::kEveryTime)};
  return {setup, DownloadFailed()};
}

Case ForeignChecksum(Rng& rng, int) {
  const std::uint32_t sector = rng.Below(kCodeSectors);
  const std::uint32_t other = (sector + 1 + rng.Below(kCodeSectors - 1)) % kCodeSectors;
  return {With(Fault::ForeignChecksum(sector, other)), Pass(1)};
}

Case WrongChecksumTimes(std::uint32_t times, Rng& rng) {
  Setup setup = With(Fault::WrongChecksum(rng.Below(kCodeSectors), times));
  return {setup, times <= 5 ? Pass(static_cast<int>(times)) : DownloadFailed()};
}

Case SwappedChunks(Rng& rng, int) {
  for (;;) {
    const std::uint32_t sector = rng.Below(kCodeSectors);
    const std::uint32_t a = rng.Below(64);
    const std::uint32_t b = rng.Below(64);
    int differences = 0;
    for (std::uint32_t i = 0; i < kBlockSize; ++i) {
      const std::uint32_t base = sector * kSectorSize;
      differences += Image()[base + a * kBlockSize + i] != Image()[base + b * kBlockSize + i];
    }
    if (differences == 0) continue;
    // Same bytes, so the same sum: only the read-back can tell.
    Expect expect = FromDifferences(2 * differences);
    expect.resends = 0;
    return {With(Fault::SwapChunks(sector, a, b)), expect};
  }
}

Case ReadBackFill(std::uint8_t value) {
  return {With(Fault::ReadBackFill(value)), FromDifferences(transfer::kMaxVerifyErrors + 1)};
}

Case LateChecksum(Rng& rng, int) {
  // The tool gives up on the answer and resends the sector; the answer that
  // turns up late is waiting when the address goes out and must be dropped,
  // not taken for the address's answer.
  Fault late = Fault::LateAnswer(0);
  late.target = {Command::kSectorChecksum, rng.Below(kCodeSectors), 0};
  return {With(late), Pass(1)};
}

Case LateVerifyBlock(Rng& rng, int) {
  const std::uint32_t block = rng.Below(4096);
  return {With(Fault::LateAnswer(VerifyFrame(block))), VerifyReadFailed()};
}

// A report nobody asked for, waiting when the next line goes out.
Case ExtraAfterChecksum(Rng& rng, int seed) {
  static const char* kTexts[] = {"4F4B04", "SERVICE ON", "", "00FFFFFFFF"};
  const std::uint32_t sector = rng.Below(kCodeSectors);
  return {With(Fault::ExtraReport(ChecksumFrame(sector), kTexts[seed % 4])), Pass()};
}

// An unsolicited report that is exactly the image's next block, while the
// flash there holds one wrong byte: taken for the next answer, it would hide
// that byte and put every later answer one block behind.
Case ExtraLooksLikeNextBlock(Rng& rng, int) {
  const std::uint32_t block = rng.Below(kCodeSectors * 64 - 2);
  const std::uint32_t next = (block + 1) * kBlockSize;
  Setup setup = With(Fault::ExtraReport(VerifyFrame(block), BlockText(next)));
  setup.disturbBeforeVerify = {next + rng.Below(kBlockSize)};
  Expect expect = FromDifferences(1);
  expect.resends = 0;
  return {setup, expect};
}

// The same where the image is 0xFF padding up to its end: there shifted
// answers would still match, and the last block's own answer would never be
// read, so a wrong byte in it would pass as verified.
Case ExtraBlockInTrailingPadding(Rng& rng, int) {
  const std::uint32_t lastSectorBlocks = kSectorSize / kBlockSize;
  const std::uint32_t block = 4096 - lastSectorBlocks + rng.Below(lastSectorBlocks - 1);
  Setup setup = With(Fault::ExtraReport(VerifyFrame(block), BlockText(kLastAddress - 15)));
  setup.disturbBeforeVerify = {kLastAddress - rng.Below(kBlockSize)};
  return {setup, FromDifferences(1)};
}

Case NoAnswerToServiceOn(Rng&, int seed) {
  Setup setup = OldFlash(seed);
  setup.faults = {Fault::NoAnswer(1)};
  return {setup, Pass()};  // the download goes ahead without service mode confirmed
}
Case NoAnswerToAddress(Rng& rng, int) {
  return {With(Fault::NoAnswer(AddressFrame(rng.Below(64)))), AddressFailed()};
}
Case NoAnswerToChecksum(Rng& rng, int) {
  return {With(Fault::NoAnswer(ChecksumFrame(rng.Below(kCodeSectors)))), Pass(1)};
}
Case NoAnswerToVerify(Rng& rng, int) {
  return {With(Fault::NoAnswer(VerifyFrame(rng.Below(4096)))), VerifyReadFailed()};
}

// One spoilt answer; the seed chooses the request: Start download, a sector
// address, a sector checksum or a verify block.
Case Spoilt(Corruption corruption, Rng& rng, int seed) {
  const std::uint32_t sector = rng.Below(kCodeSectors);
  const std::uint32_t block = rng.Below(4096);
  switch (seed % 4) {
    case 0:
      return {With(Fault::CorruptAnswer(corruption, Command::kStartDownload)), StartFailed()};
    case 1:
      return {With(Fault::CorruptAnswer(corruption, Command::kSectorAddress, sector + 1)),
              AddressFailed()};
    case 2: {
      // Lower case changes nothing in an answer without letters.
      const bool harmless = corruption == Corruption::kLowerCase && !HasHexLetter(ChecksumText(sector));
      return {With(Fault::CorruptAnswer(corruption, Command::kSectorChecksum, sector + 1)),
              Pass(harmless ? 0 : 1)};
    }
    default: {
      const bool harmless = corruption == Corruption::kLowerCase &&
                            !HasHexLetter(BlockText(block * kBlockSize));
      return {With(Fault::CorruptAnswer(corruption, Command::kVerifyAddress, block + 1)),
              harmless ? Pass() : VerifyReadFailed()};
    }
  }
}

Case SpoiltServiceOn(Rng&, int seed) {
  static constexpr Corruption kKinds[] = {Corruption::kLowerCase, Corruption::kEmpty,
                                          Corruption::kTooFewBytes, Corruption::kTooManyBytes};
  // "SERVICE ON!" still starts with the ten characters that count.
  return {With(Fault::CorruptAnswer(kKinds[seed % 4], Command::kServiceOn)), Pass()};
}

Case UnplugInHandshake(Rng&, int seed) {
  Setup setup = OldFlash(seed);
  setup.faults = {Fault::Unplug(1)};
  return {setup, Ending(msg::kStartFailed, {msg::kDownloadSendFailedBox, msg::kStartFailedBox})};
}
Case UnplugInHandshakeReplug(Rng&, int seed) {
  Setup setup = OldFlash(seed);
  setup.faults = {Fault::Unplug(1, 0)};
  // Powered up again, the controller has left service mode and takes no
  // download; the next press of the button asks it again.
  return {setup, Ending(msg::kStartFailed, {msg::kStartFailedBox})};
}
// Any chunk of any sector.
std::uint32_t AnyChunkFrame(Rng& rng) {
  const std::uint32_t sector = rng.Below(64);
  return ChunkFrame(sector, rng.Below(64));
}

Case UnplugInSector(Rng& rng, int) {
  return {With(Fault::Unplug(AnyChunkFrame(rng))),
          Ending(link::kNotDetected, {msg::kDownloadSendFailedBox})};
}
Case UnplugInSectorReplug(Rng& rng, int) {
  // Powered up again, the controller has forgotten the sector: the rest of
  // its chunks go nowhere, the checksum goes unanswered and the sector is resent.
  return {With(Fault::Unplug(AnyChunkFrame(rng), 0)), Pass(1)};
}
Case UnplugInChecksum(Rng& rng, int) {
  return {With(Fault::Unplug(ChecksumFrame(rng.Below(64)))),
          Ending(msg::kSectorAddressFailed,
                 {msg::kDownloadSendFailedBox, msg::kSectorAddressFailedBox})};
}
Case UnplugInChecksumReplug(Rng& rng, int) {
  return {With(Fault::Unplug(ChecksumFrame(rng.Below(64)), 0)), Pass(1)};
}
Case UnplugInVerify(Rng& rng, int) {
  return {With(Fault::Unplug(VerifyFrame(rng.Below(4096)))), VerifyReadFailed()};
}
Case UnplugInVerifyReplug(Rng& rng, int) {
  return {With(Fault::Unplug(VerifyFrame(rng.Below(4096)), 0)), VerifyReadFailed()};
}

// The seed chooses the line whose write fails: a chunk, a sector address, a
// checksum request or a verify block request.
std::uint32_t WriteOf(Rng& rng, int seed) {
  const std::uint32_t sector = rng.Below(64);
  switch (seed % 4) {
    case 0: return ChunkFrame(sector, rng.Below(64));
    case 1: return AddressFrame(sector);
    case 2: return ChecksumFrame(sector);
    default: return VerifyFrame(rng.Below(4096));
  }
}
Case WriteFailsOnce(Rng& rng, int seed) {
  return {With(Fault::FailWrite(WriteOf(rng, seed), 1)), Pass()};
}
Case WriteFailsTwice(Rng& rng, int seed) {
  // The retry on a fresh link fails too: the line is lost for good.
  Setup setup = With(Fault::FailWrite(WriteOf(rng, seed), 2));
  switch (seed % 4) {
    case 1:
      return {setup, Ending(msg::kSectorAddressFailed,
                            {msg::kDownloadSendFailedBox, msg::kSectorAddressFailedBox})};
    case 3:
      // The send failure and the rejected block would say the same: once.
      return {setup, Ending(msg::kVerifyAddressFailed, {msg::kVerifyReadFailedBox})};
    default:  // a data or checksum line: nothing is read after it
      return {setup, Ending(link::kCantWrite, {msg::kDownloadSendFailedBox})};
  }
}

// Flash cells that change between the download and the verification.
Case Disturbed(std::vector<std::uint32_t> addresses, Setup setup = {}) {
  const int count = static_cast<int>(addresses.size());
  setup.disturbBeforeVerify = std::move(addresses);
  Expect expect = FromDifferences(count);
  expect.resends = 0;
  return {setup, expect};
}
std::vector<std::uint32_t> SpreadAddresses(Rng& rng, int count) {
  std::vector<std::uint32_t> addresses;
  while (static_cast<int>(addresses.size()) < count) {
    const std::uint32_t a = rng.Below(0xF000);
    if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) addresses.push_back(a);
  }
  return addresses;
}

// With the boot code in its usual place, or with none at all.
Setup BootCodeOrNone(int seed) {
  Setup setup;
  if (seed % 2 == 1) setup.options.protectedBegin = setup.options.protectedEnd = 0;
  return setup;
}

Case BesideBootCode(Rng&, int seed) {
  Setup setup;
  std::tie(setup.options.protectedBegin, setup.options.protectedEnd) = BootCode(seed);
  std::vector<std::uint32_t> addresses{setup.options.protectedEnd};
  if (setup.options.protectedBegin > 0) addresses.push_back(setup.options.protectedBegin - 1);
  return Disturbed(addresses, setup);
}

Case BootCodeThenMatch(Rng&, int seed) {
  Setup setup;
  std::tie(setup.options.protectedBegin, setup.options.protectedEnd) = BootCode(seed);
  Expect expect = Pass();
  // The window ends one byte before the first sector that matched after it.
  expect.window = {setup.options.protectedBegin,
                   setup.options.protectedEnd - 1};
  return {setup, expect};
}

Case BootCodeToTheEnd(Rng&, int seed) {
  static constexpr std::uint32_t kBegins[] = {0xF000, 0xFC00, 0x8000, 0x0000};
  Setup setup;
  setup.options.protectedBegin = kBegins[seed % 4];
  setup.options.protectedEnd = 0x10000;
  Expect expect = Pass();
  expect.window = {setup.options.protectedBegin,
                   kLastAddress};
  return {setup, expect};
}

Case PressDuringVerify(Rng& rng, int) {
  Setup setup;
  setup.pressAtVerifyAddress = rng.Below(4096) * kBlockSize;
  return {setup, Pass()};
}

const Scenario kScenarios[] = {
    {"clean download over old flash content",
     [](Rng&, int seed) -> Case { return {OldFlash(seed), Pass()}; }},
    {"dropped chunk", DroppedChunk},
    {"duplicated chunk", DuplicatedChunk},
    {"one flipped bit in a chunk", FlippedBit},
    {"stuck bit defeats all five resends", StuckBit},
    {"sector left unerased once", UnerasedOnce},
    {"sector never erased", NeverErased},
    {"checksum answer for the wrong sector", ForeignChecksum},
    {"wrong checksum once", [](Rng& rng, int) { return WrongChecksumTimes(1, rng); }},
    {"wrong checksum five times, last resend good",
     [](Rng& rng, int) { return WrongChecksumTimes(5, rng); }},
    {"wrong checksum six times", [](Rng& rng, int) { return WrongChecksumTimes(6, rng); }},
    {"swapped chunks, same sum, caught by read-back", SwappedChunks},
    {"read-back all 0xFF", [](Rng&, int) { return ReadBackFill(0xFF); }},
    {"read-back all 0x00", [](Rng&, int) { return ReadBackFill(0x00); }},
    {"late checksum answer after a time-out, resent", LateChecksum},
    {"late verify block answer after a time-out", LateVerifyBlock},
    {"extra report after a checksum answer", ExtraAfterChecksum},
    {"extra report that looks like the next block, flash wrong there", ExtraLooksLikeNextBlock},
    {"extra block report in the trailing padding, last block wrong", ExtraBlockInTrailingPadding},
    {"no answer to service.on", NoAnswerToServiceOn},
    {"no answer to Start download",
     [](Rng&, int) -> Case { return {With(Fault::NoAnswer(2)), StartFailed()}; }},
    {"no answer to a sector address", NoAnswerToAddress},
    {"no answer to a sector checksum", NoAnswerToChecksum},
    {"no answer to a verify block", NoAnswerToVerify},
    {"answer with a bad XOR byte",
     [](Rng& rng, int seed) { return Spoilt(Corruption::kWrongXor, rng, seed); }},
    {"answer with an odd number of digits",
     [](Rng& rng, int seed) { return Spoilt(Corruption::kOddDigits, rng, seed); }},
    {"answer in lower case",
     [](Rng& rng, int seed) { return Spoilt(Corruption::kLowerCase, rng, seed); }},
    {"answer with a non-hex character",
     [](Rng& rng, int seed) { return Spoilt(Corruption::kNonHex, rng, seed); }},
    {"answer one byte short",
     [](Rng& rng, int seed) { return Spoilt(Corruption::kTooFewBytes, rng, seed); }},
    {"answer one byte long",
     [](Rng& rng, int seed) { return Spoilt(Corruption::kTooManyBytes, rng, seed); }},
    {"empty answer", [](Rng& rng, int seed) { return Spoilt(Corruption::kEmpty, rng, seed); }},
    {"spoilt SERVICE ON answer", SpoiltServiceOn},
    {"unplug during the handshake", UnplugInHandshake},
    {"unplug during the handshake, replugged", UnplugInHandshakeReplug},
    {"unplug during a sector", UnplugInSector},
    {"unplug during a sector, replugged", UnplugInSectorReplug},
    {"unplug during the checksum read-back", UnplugInChecksum},
    {"unplug during the checksum read-back, replugged", UnplugInChecksumReplug},
    {"unplug during the verification", UnplugInVerify},
    {"unplug during the verification, replugged", UnplugInVerifyReplug},
    {"a write fails once", WriteFailsOnce},
    {"a write fails twice", WriteFailsTwice},
    {"99 differing bytes", [](Rng& rng, int) { return Disturbed(SpreadAddresses(rng, 99)); }},
    {"100 differing bytes", [](Rng& rng, int) { return Disturbed(SpreadAddresses(rng, 100)); }},
    {"101 differing bytes", [](Rng& rng, int) { return Disturbed(SpreadAddresses(rng, 101)); }},
    {"difference only in the last byte (0xFFFF)",
     [](Rng&, int seed) { return Disturbed({kLastAddress}, BootCodeOrNone(seed)); }},
    {"difference only in the first byte (0x0000)",
     [](Rng&, int seed) { return Disturbed({0}, BootCodeOrNone(seed)); }},
    {"differences right beside the boot code", BesideBootCode},
    {"boot code answered 0x00FFFFFF, later sector matches", BootCodeThenMatch},
    {"boot code answered 0x00FFFFFF up to the end", BootCodeToTheEnd},
    {"Download pressed again during the verification", PressDuringVerify},
};

// --- Running and the summary --------------------------------------------------------

struct Totals {
  int scenarios = 0;
  int runs = 0;
  int failuresDetected = 0;
  int recovered = 0;
  int resends = 0;
  int falsePasses = 0;
  long long ticks = 0;
};
Totals totals;

class FaultMatrix : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultMatrix, EndsAsTheFaultRequires) {
  const Scenario& scenario = GetParam();
  ++totals.scenarios;
  for (int seed = 0; seed < kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Rng rng(static_cast<std::uint64_t>(seed) * 7919 + std::hash<std::string>{}(scenario.name));
    Case c = scenario.make(rng, seed);
    const CycleResult result = RunCycle(c.setup);
    const Expect& expect = c.expect;

    if (std::getenv("LUMBRA_MATRIX_VERBOSE") != nullptr) {
      std::cout << scenario.name << " | seed " << seed << " | ticks " << result.ticks
                << " | resends " << result.resends << " | " << result.status << '\n';
    }
    ++totals.runs;
    totals.ticks += result.ticks;
    totals.resends += result.resends;
    if (!result.passed) ++totals.failuresDetected;
    if (result.passed && result.faultFired && result.flashMatches) ++totals.recovered;
    if (result.FalsePass()) ++totals.falsePasses;

    EXPECT_FALSE(result.FalsePass()) << "reported as verified, but the flash differs from the image";
    EXPECT_TRUE(result.violations.empty()) << ::testing::PrintToString(result.violations);
    EXPECT_EQ(result.status, expect.status);
    EXPECT_EQ(result.boxes, expect.boxes);
    if (expect.errors >= 0) {
      EXPECT_EQ(result.errorCount, expect.errors);
    }
    if (expect.errors > 0) {
      // Every difference counted is listed, one line each.
      std::size_t lines = 0;
      for (std::size_t at = 0; (at = result.errorField.find("\r\n", at)) != std::string::npos; at += 2) {
        ++lines;
      }
      EXPECT_EQ(lines, static_cast<std::size_t>(expect.errors));
    }
    // A verification that ran to its end shows 100.00, whatever it found.
    if (expect.status == msg::kVerifyFinished || expect.status == msg::kVerifyFailed) {
      EXPECT_EQ(result.verifyPercent, msg::kPercentComplete);
    } else if (expect.status == msg::kVerifyAborted) {
      EXPECT_NE(result.verifyPercent, msg::kPercentComplete);
    }
    if (expect.resends >= 0) {
      EXPECT_EQ(result.resends, expect.resends);
    }
    if (expect.window) {
      EXPECT_TRUE(result.window.open && result.window.closed);
      EXPECT_EQ(result.window.start, expect.window->first);
      EXPECT_EQ(result.window.end, expect.window->second);
    }
    // A scenario whose fault never took effect tests nothing.
    const bool faulted = !c.setup.faults.empty() || !c.setup.disturbBeforeVerify.empty();
    if (faulted) {
      EXPECT_TRUE(result.faultFired) << "the injected fault never fired";
    }
    if (c.setup.pressAtVerifyAddress >= 0) {
      EXPECT_EQ(result.serviceOnLines, 1u);
    }
  }
}

std::string TestName(const ::testing::TestParamInfo<Scenario>& info) {
  std::string name;
  for (const char* p = info.param.name; *p != '\0'; ++p) {
    const char ch = *p;
    if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')) {
      name += ch;
    } else if (!name.empty() && name.back() != '_') {
      name += '_';
    }
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultMatrix, ::testing::ValuesIn(kScenarios), TestName);

class Summary : public ::testing::Environment {
 public:
  void TearDown() override {
    std::cout << "fault matrix: scenarios=" << totals.scenarios << " runs=" << totals.runs
              << " failures_detected=" << totals.failuresDetected
              << " transient_faults_recovered=" << totals.recovered
              << " resends_used=" << totals.resends << " false_passes=" << totals.falsePasses
              << " ticks=" << totals.ticks << '\n';
  }
};

}  // namespace
}  // namespace lumbra::reliability

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new lumbra::reliability::Summary);
  return RUN_ALL_TESTS();
}
