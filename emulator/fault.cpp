#include "emulator/fault.h"

#include <utility>

namespace lumbra::emulator {

const char* ToString(FaultKind kind) {
  switch (kind) {
    case FaultKind::kNoAnswer: return "NoAnswer";
    case FaultKind::kLateAnswer: return "LateAnswer";
    case FaultKind::kWrongChecksum: return "WrongChecksum";
    case FaultKind::kForeignChecksum: return "ForeignChecksum";
    case FaultKind::kStuckBits: return "StuckBits";
    case FaultKind::kDropChunk: return "DropChunk";
    case FaultKind::kDuplicateChunk: return "DuplicateChunk";
    case FaultKind::kFlipBit: return "FlipBit";
    case FaultKind::kSkipErase: return "SkipErase";
    case FaultKind::kSwapChunks: return "SwapChunks";
    case FaultKind::kReadBackFill: return "ReadBackFill";
    case FaultKind::kCorruptAnswer: return "CorruptAnswer";
    case FaultKind::kExtraReport: return "ExtraReport";
    case FaultKind::kUnplug: return "Unplug";
    case FaultKind::kFailWrite: return "FailWrite";
  }
  return "?";
}

const char* ToString(Corruption corruption) {
  switch (corruption) {
    case Corruption::kWrongXor: return "WrongXor";
    case Corruption::kOddDigits: return "OddDigits";
    case Corruption::kLowerCase: return "LowerCase";
    case Corruption::kNonHex: return "NonHex";
    case Corruption::kTooFewBytes: return "TooFewBytes";
    case Corruption::kTooManyBytes: return "TooManyBytes";
    case Corruption::kEmpty: return "Empty";
  }
  return "?";
}

namespace {

Fault Make(FaultKind kind, FaultTarget target, std::uint32_t times = 1) {
  Fault fault;
  fault.kind = kind;
  fault.target = target;
  fault.times = times;
  return fault;
}

FaultTarget NthFrame(std::uint32_t frame) { return {std::nullopt, std::nullopt, frame}; }
FaultTarget NthOf(Command command, std::uint32_t ordinal) { return {command, std::nullopt, ordinal}; }
FaultTarget SectorOf(Command command, std::uint32_t sector) { return {command, sector, 0}; }

}  // namespace

Fault Fault::NoAnswer(std::uint32_t frame) { return Make(FaultKind::kNoAnswer, NthFrame(frame)); }

Fault Fault::LateAnswer(std::uint32_t frame) {
  return Make(FaultKind::kLateAnswer, NthFrame(frame));
}

Fault Fault::WrongChecksum(std::uint32_t sector, std::uint32_t times) {
  return Make(FaultKind::kWrongChecksum, SectorOf(Command::kSectorChecksum, sector), times);
}

Fault Fault::ForeignChecksum(std::uint32_t sector, std::uint32_t otherSector) {
  Fault fault = Make(FaultKind::kForeignChecksum, SectorOf(Command::kSectorChecksum, sector));
  fault.otherSector = otherSector;
  return fault;
}

Fault Fault::StuckBits(std::uint32_t address, std::uint8_t mask, std::uint8_t value) {
  Fault fault = Make(FaultKind::kStuckBits, {}, kEveryTime);
  fault.address = address;
  fault.mask = mask;
  fault.value = value;
  return fault;
}

Fault Fault::DropChunk(std::uint32_t dataFrame) {
  return Make(FaultKind::kDropChunk, NthOf(Command::kSectorData, dataFrame));
}

Fault Fault::DuplicateChunk(std::uint32_t dataFrame) {
  return Make(FaultKind::kDuplicateChunk, NthOf(Command::kSectorData, dataFrame));
}

Fault Fault::FlipBit(std::uint32_t dataFrame, std::uint32_t byteInChunk, std::uint8_t mask) {
  Fault fault = Make(FaultKind::kFlipBit, NthOf(Command::kSectorData, dataFrame));
  fault.address = byteInChunk;
  fault.mask = mask;
  return fault;
}

Fault Fault::SkipErase(std::uint32_t sector, std::uint32_t times) {
  return Make(FaultKind::kSkipErase, SectorOf(Command::kSectorAddress, sector), times);
}

Fault Fault::SwapChunks(std::uint32_t sector, std::uint32_t chunkA, std::uint32_t chunkB) {
  Fault fault = Make(FaultKind::kSwapChunks, SectorOf(Command::kSectorAddress, sector));
  fault.chunkA = chunkA;
  fault.chunkB = chunkB;
  return fault;
}

Fault Fault::ReadBackFill(std::uint8_t value) {
  Fault fault = Make(FaultKind::kReadBackFill, NthOf(Command::kVerifyAddress, 0), kEveryTime);
  fault.value = value;
  return fault;
}

Fault Fault::CorruptAnswer(Corruption corruption, std::optional<Command> command,
                           std::uint32_t ordinal, std::uint32_t times) {
  Fault fault = Make(FaultKind::kCorruptAnswer, {command, std::nullopt, ordinal}, times);
  fault.corruption = corruption;
  return fault;
}

Fault Fault::ExtraReport(std::uint32_t frame, std::string text) {
  Fault fault = Make(FaultKind::kExtraReport, NthFrame(frame));
  fault.text = std::move(text);
  return fault;
}

Fault Fault::Unplug(std::uint32_t frame, std::uint32_t replugAfter) {
  Fault fault = Make(FaultKind::kUnplug, NthFrame(frame));
  fault.replugAfter = replugAfter;
  return fault;
}

Fault Fault::FailWrite(std::uint32_t write, std::uint32_t times) {
  return Make(FaultKind::kFailWrite, NthFrame(write), times);
}

}  // namespace lumbra::emulator
