// Faults the emulated controller can be told to show, described as plain data
// so that a test can list scenarios in a table.
//
// Counting: every line the controller receives is a frame, counted from 1
// since plug-in or since the last reset (a replug resets). A fault counts the
// frames that match its target; it fires on the `ordinal`-th match (the first
// when ordinal is 0) and on the following matches until it has fired `times`
// times. What it has fired is kept across resets, so a fault that was used up
// stays used up after a replug. Write failures count write attempts instead of
// frames, since a failed write never reaches the controller.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "emulator/line_parser.h"

namespace lumbra::emulator {

inline constexpr std::uint32_t kEveryTime = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::uint32_t kNeverReplug = std::numeric_limits<std::uint32_t>::max();

enum class FaultKind : std::uint8_t {
  kNoAnswer,         // the frame's answer is never sent (the tool's read times out)
  kLateAnswer,       // the answer is withheld for one read, then delivered at the next
  kWrongChecksum,    // Sector checksum answers the sum plus one
  kForeignChecksum,  // Sector checksum answers the sum of sector `otherSector`
  kStuckBits,        // bits `mask` of the byte at `address` always read `value`; no target
  kDropChunk,        // a Sector data frame is ignored and not counted as a chunk
  kDuplicateChunk,   // a Sector data frame is written twice, counting as two chunks
  kFlipBit,          // bits `mask` of byte `address` (0..15) of a chunk are flipped
  kSkipErase,        // a Sector address is answered "OK" but its sector is not erased
  kSwapChunks,       // in the sector pass begun by a Sector address, chunks `chunkA`
                     // and `chunkB` land in each other's place
  kReadBackFill,     // Verify address answers 16 bytes of `value`
  kCorruptAnswer,    // the answer is spoilt as `corruption` says
  kExtraReport,      // an unsolicited report with `text` follows the frame's answer
  kUnplug,           // after the frame the device is gone; it comes back after
                     // `replugAfter` further enumerations (kNeverReplug: never)
  kFailWrite,        // the write attempt fails; the report never arrives
};

const char* ToString(FaultKind kind);

// How kCorruptAnswer spoils an answer. Hex answers take every kind; the plain
// "SERVICE ON" answer takes kLowerCase, kEmpty, kTooFewBytes (last character
// dropped) and kTooManyBytes (a character appended) and is otherwise left alone.
enum class Corruption : std::uint8_t {
  kWrongXor,       // the check byte is off by one bit
  kOddDigits,      // the last hex digit is dropped
  kLowerCase,      // a-f instead of A-F
  kNonHex,         // the second character is replaced by 'G'
  kTooFewBytes,    // the last answer byte is dropped, with a matching check byte
  kTooManyBytes,   // a zero byte is appended to the answer, with a matching check byte
  kEmpty,          // the report carries no text at all
};

const char* ToString(Corruption corruption);

// Which frames a fault looks at. Empty fields match everything.
struct FaultTarget {
  std::optional<Command> command;  // only frames of this command
  std::optional<std::uint32_t> sector;  // only frames about this sector (index 0..63): the
                                        // addressed sector for Sector/Verify address, the
                                        // current sector for Sector data and checksum
  std::uint32_t ordinal = 0;       // the first matching frame it fires on, from 1; 0 = the first
};

struct Fault {
  FaultKind kind = FaultKind::kNoAnswer;
  FaultTarget target;
  std::uint32_t times = 1;  // how many matching frames it fires on; kEveryTime = no limit

  // Parameters; which kinds read them is listed at FaultKind.
  std::uint32_t address = 0;
  std::uint8_t mask = 0;
  std::uint8_t value = 0;
  std::uint32_t otherSector = 0;
  std::uint32_t chunkA = 0;
  std::uint32_t chunkB = 0;
  std::uint32_t replugAfter = kNeverReplug;
  Corruption corruption = Corruption::kWrongXor;
  std::string text;

  // The usual faults, ready made. `frame` counts every received line.
  static Fault NoAnswer(std::uint32_t frame);
  static Fault LateAnswer(std::uint32_t frame);
  static Fault WrongChecksum(std::uint32_t sector, std::uint32_t times = 1);
  static Fault ForeignChecksum(std::uint32_t sector, std::uint32_t otherSector);
  static Fault StuckBits(std::uint32_t address, std::uint8_t mask, std::uint8_t value);
  // `dataFrame` counts Sector data frames only.
  static Fault DropChunk(std::uint32_t dataFrame);
  static Fault DuplicateChunk(std::uint32_t dataFrame);
  static Fault FlipBit(std::uint32_t dataFrame, std::uint32_t byteInChunk, std::uint8_t mask);
  static Fault SkipErase(std::uint32_t sector, std::uint32_t times = 1);
  static Fault SwapChunks(std::uint32_t sector, std::uint32_t chunkA, std::uint32_t chunkB);
  static Fault ReadBackFill(std::uint8_t value);
  // Spoils the answers of `command` (every command when empty), from its
  // `ordinal`-th frame on, `times` times.
  static Fault CorruptAnswer(Corruption corruption, std::optional<Command> command,
                             std::uint32_t ordinal = 0, std::uint32_t times = 1);
  static Fault ExtraReport(std::uint32_t frame, std::string text);
  static Fault Unplug(std::uint32_t frame, std::uint32_t replugAfter = kNeverReplug);
  // `write` counts write attempts; `times` consecutive attempts fail.
  static Fault FailWrite(std::uint32_t write, std::uint32_t times = 1);
};

}  // namespace lumbra::emulator
