#include "standin.h"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <numeric>

#include "image_facts.h"

namespace lumbra::firmware {

namespace {

constexpr std::uint32_t kSeed = 0x20015EED;

// Used areas of the stand-in; everything else stays 0xFF. The program ends
// with the "READY" text at 0x61FF; the others are constant tables.
constexpr AddressRange kProgram[] = {{0x0000, 0x6203}, {0xF000, 0xFBFF}};
constexpr AddressRange kTables[] = {{0x8000, 0x8293}, {0x8400, 0x8517}, {0xE000, 0xE1BF}};
// Sector 0 bytes the sum fix-up may adjust: clear of every fixed run.
constexpr AddressRange kSector0Adjustable = {0x0100, 0x03EF};

// xorshift32: tiny, and the same everywhere, unlike the standard engines' distributions.
class Random {
 public:
  explicit Random(std::uint32_t seed) : state_(seed) {}
  std::uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  std::uint8_t Byte() { return static_cast<std::uint8_t>(Next() >> 24); }

 private:
  std::uint32_t state_;
};

enum class Operands { kNone, kByte, kTwoBytes, kCodeAddress };

struct Instruction {
  std::uint8_t opcode;
  Operands operands;
};

// Common 8051 instructions, so the stand-in reads like code in a hex dump.
constexpr Instruction kInstructions[] = {
    {0x02, Operands::kCodeAddress},  // LJMP addr16
    {0x12, Operands::kCodeAddress},  // LCALL addr16
    {0x22, Operands::kNone},         // RET
    {0x74, Operands::kByte},         // MOV A,#data
    {0x75, Operands::kTwoBytes},     // MOV direct,#data
    {0x78, Operands::kByte},         // MOV R0,#data
    {0x90, Operands::kTwoBytes},     // MOV DPTR,#data16
    {0xE0, Operands::kNone},         // MOVX A,@DPTR
    {0xF0, Operands::kNone},         // MOVX @DPTR,A
    {0xA3, Operands::kNone},         // INC DPTR
    {0xE4, Operands::kNone},         // CLR A
    {0xE5, Operands::kByte},         // MOV A,direct
    {0xF5, Operands::kByte},         // MOV direct,A
    {0x80, Operands::kByte},         // SJMP rel
    {0x60, Operands::kByte},         // JZ rel
    {0x70, Operands::kByte},         // JNZ rel
    {0x40, Operands::kByte},         // JC rel
    {0xB4, Operands::kTwoBytes},     // CJNE A,#data,rel
    {0xD8, Operands::kByte},         // DJNZ R0,rel
    {0x24, Operands::kByte},         // ADD A,#data
    {0x94, Operands::kByte},         // SUBB A,#data
    {0xC3, Operands::kNone},         // CLR C
    {0x08, Operands::kNone},         // INC R0
    {0xC0, Operands::kByte},         // PUSH direct
    {0xD0, Operands::kByte},         // POP direct
};

std::size_t Length(Operands operands) {
  return operands == Operands::kNone ? 1 : operands == Operands::kByte ? 2 : 3;
}

void FillProgram(std::vector<std::uint8_t>& image, AddressRange range, Random& random) {
  std::size_t address = range.first;
  while (address <= range.last) {
    const Instruction& instruction = kInstructions[random.Next() % std::size(kInstructions)];
    if (address + Length(instruction.operands) - 1 > range.last) {
      image[address++] = 0x00;  // NOP up to the end of the range
      continue;
    }
    image[address++] = instruction.opcode;
    switch (instruction.operands) {
      case Operands::kNone:
        break;
      case Operands::kByte:
        image[address++] = random.Byte();
        break;
      case Operands::kTwoBytes:
        image[address++] = random.Byte();
        image[address++] = random.Byte();
        break;
      case Operands::kCodeAddress:  // a target inside the program
        image[address++] = static_cast<std::uint8_t>(random.Next() % 0x60);
        image[address++] = random.Byte();
        break;
    }
  }
}

void FillTable(std::vector<std::uint8_t>& image, AddressRange range, Random& random) {
  for (std::size_t address = range.first; address <= range.last; ++address) image[address] = random.Byte();
}

// Nudges the adjustable bytes by one at a time, round after round, until the
// sector adds up to `target`: many small changes keep the bytes looking varied.
void FixSector0Sum(std::vector<std::uint8_t>& image, std::uint32_t target) {
  long difference =
      static_cast<long>(target) - std::accumulate(image.begin(), image.begin() + kSectorSize, 0L);
  [[maybe_unused]] const long room =
      static_cast<long>(kSector0Adjustable.last + 1 - kSector0Adjustable.first) * 0xFE;
  assert(difference < room && -difference < room);
  while (difference != 0) {
    for (std::size_t address = kSector0Adjustable.first;
         address <= kSector0Adjustable.last && difference != 0; ++address) {
      if (difference > 0 && image[address] < 0xFE) {
        ++image[address];
        --difference;
      } else if (difference < 0 && image[address] > 0x00) {
        --image[address];
        ++difference;
      }
    }
  }
}

}  // namespace

std::vector<std::uint8_t> MakeStandIn() {
  std::vector<std::uint8_t> image(kImageSize, kErased);
  Random random(kSeed);
  for (AddressRange range : kProgram) FillProgram(image, range, random);
  for (AddressRange range : kTables) FillTable(image, range, random);
  for (const FixedRun& run : kFixedRuns) {
    std::copy(run.bytes.begin(), run.bytes.end(), image.begin() + run.address);
  }
  FixSector0Sum(image, kSector0Sum);
  return image;
}

}  // namespace lumbra::firmware
