#include "emulator/quorvex_controller.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace lumbra::emulator {

// What the faults that fired on one frame ask of it.
struct QuorvexController::FrameEffects {
  bool noAnswer = false;
  std::uint32_t withheldReads = 0;
  bool wrongChecksum = false;
  std::optional<std::uint32_t> foreignSector;
  bool dropChunk = false;
  bool duplicateChunk = false;
  std::array<std::uint8_t, kChunkSize> flips{};
  bool skipErase = false;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> swap;
  std::optional<std::uint8_t> readBackFill;
  std::optional<Corruption> corruption;
  const std::string* extraReport = nullptr;
  std::optional<std::uint32_t> unplug;
};

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::size_t TextLength(const std::array<std::uint8_t, kReportDataSize>& data) {
  const auto* end = std::find(data.begin(), data.end(), std::uint8_t{0});
  return static_cast<std::size_t>(end - data.begin());
}

}  // namespace

QuorvexController::QuorvexController(ControllerOptions options) : options_(std::move(options)) {
  if (options_.initialFlash.size() == kFlashSize) {
    std::copy(options_.initialFlash.begin(), options_.initialFlash.end(), flash_.begin());
  } else {
    for (std::uint32_t a = 0; a < kFlashSize; ++a) flash_[a] = IsProtected(a) ? BootByte(a) : 0xFF;
  }
  // The copy has served its purpose; do not keep 64 KiB twice.
  options_.initialFlash = {};
  transcript_.resize(options_.transcriptCapacity);
}

// --- Input -------------------------------------------------------------------

void QuorvexController::ReceiveReport(std::span<const std::uint8_t> data) {
  const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
  const ReportLine line = LineOfReport(bytes);
  if (!line.found) {
    ParsedLine parsed;
    parsed.error = ParseError::kNoLineEnd;
    // Keep the transcript readable: the text up to the first zero byte.
    HandleLine(bytes.substr(0, bytes.find('\0')), parsed);
    return;
  }
  HandleLine(line.text, ParseLine(line.text));
}

void QuorvexController::HandleLine(std::string_view line, const ParsedLine& parsed) {
  ++frameNumber_;
  ++counters_.frames;
  ++counters_.byCommand[static_cast<std::size_t>(parsed.command)];

  currentEntry_ = nullptr;
  if (!transcript_.empty()) {
    TranscriptEntry& entry = transcript_[transcriptNext_];
    transcriptNext_ = (transcriptNext_ + 1) % transcript_.size();
    transcriptSize_ = std::min(transcriptSize_ + 1, transcript_.size());
    entry.frame = frameNumber_;
    entry.line.assign(line);
    entry.command = parsed.command;
    entry.error = parsed.error;
    entry.answer.clear();
    currentEntry_ = &entry;
  }

  const FrameEffects effects = CollectEffects(parsed.command, SectorOf(parsed));
  Answer answer;
  switch (parsed.command) {
    case Command::kUnknown:
      break;  // malformed, bad check byte or unknown: no answer
    case Command::kServiceOn:
      serviceMode_ = true;
      answer.present = true;
      answer.plain = true;
      answer.size = kServiceOnAnswer.size();
      std::memcpy(answer.bytes.data(), kServiceOnAnswer.data(), answer.size);
      break;
    case Command::kStartDownload: StartDownload(answer); break;
    case Command::kSectorAddress: SectorAddress(parsed, effects, answer); break;
    case Command::kSectorData: SectorData(parsed, effects); break;
    case Command::kSectorChecksum: SectorChecksum(effects, answer); break;
    case Command::kVerifyAddress: VerifyAddress(parsed, effects, answer); break;
  }

  if (answer.present && !effects.noAnswer) Queue(answer, effects);
  if (effects.extraReport != nullptr) {
    if (QueuedReport* report = PushReport()) {
      const std::size_t n = std::min(effects.extraReport->size(), kReportDataSize);
      std::memcpy(report->data.data(), effects.extraReport->data(), n);
      RecordAnswer(*report);
    }
  }
  if (effects.unplug) unplugRequest_ = effects.unplug;
  currentEntry_ = nullptr;
}

std::optional<std::uint32_t> QuorvexController::SectorOf(const ParsedLine& parsed) const {
  switch (parsed.command) {
    case Command::kSectorAddress:
    case Command::kVerifyAddress:
      return parsed.address / kSectorSize;
    case Command::kSectorData:
    case Command::kSectorChecksum:
      if (sectorAddress_) return *sectorAddress_ / kSectorSize;
      return std::nullopt;
    case Command::kUnknown:
    case Command::kServiceOn:
    case Command::kStartDownload:
      break;
  }
  return std::nullopt;
}

// --- Faults ------------------------------------------------------------------

bool QuorvexController::Fires(ActiveFault& active, Command command,
                              std::optional<std::uint32_t> sector) {
  const FaultTarget& target = active.fault.target;
  if (target.command && *target.command != command) return false;
  if (target.sector && sector != target.sector) return false;
  ++active.seen;
  if (active.seen < std::max<std::uint32_t>(target.ordinal, 1)) return false;
  if (active.fired >= active.fault.times) return false;
  ++active.fired;
  return true;
}

QuorvexController::FrameEffects QuorvexController::CollectEffects(
    Command command, std::optional<std::uint32_t> sector) {
  FrameEffects effects;
  for (ActiveFault& active : faults_) {
    const Fault& fault = active.fault;
    if (fault.kind == FaultKind::kStuckBits || fault.kind == FaultKind::kFailWrite) continue;
    if (!Fires(active, command, sector)) continue;
    switch (fault.kind) {
      case FaultKind::kNoAnswer: effects.noAnswer = true; break;
      case FaultKind::kLateAnswer: effects.withheldReads += 1; break;
      case FaultKind::kWrongChecksum: effects.wrongChecksum = true; break;
      case FaultKind::kForeignChecksum: effects.foreignSector = fault.otherSector; break;
      case FaultKind::kDropChunk: effects.dropChunk = true; break;
      case FaultKind::kDuplicateChunk: effects.duplicateChunk = true; break;
      case FaultKind::kFlipBit: effects.flips[fault.address % kChunkSize] ^= fault.mask; break;
      case FaultKind::kSkipErase: effects.skipErase = true; break;
      case FaultKind::kSwapChunks: effects.swap = std::pair(fault.chunkA, fault.chunkB); break;
      case FaultKind::kReadBackFill: effects.readBackFill = fault.value; break;
      case FaultKind::kCorruptAnswer: effects.corruption = fault.corruption; break;
      case FaultKind::kExtraReport: effects.extraReport = &fault.text; break;
      case FaultKind::kUnplug: effects.unplug = fault.replugAfter; break;
      case FaultKind::kStuckBits:
      case FaultKind::kFailWrite: break;
    }
  }
  return effects;
}

std::size_t QuorvexController::AddFault(Fault fault) {
  faults_.push_back({std::move(fault)});
  const Fault& added = faults_.back().fault;
  if (added.kind == FaultKind::kStuckBits) {
    ++stuckFaults_;
    // A stuck cell reads its stuck value from the moment it is stuck.
    ApplyStuckBits(added.address, added.address + 1);
  }
  return faults_.size() - 1;
}

std::uint32_t QuorvexController::TimesFired(std::size_t faultId) const {
  return faultId < faults_.size() ? faults_[faultId].fired : 0;
}

bool QuorvexController::FailWriteAttempt(std::span<const std::uint8_t> data) {
  bool fail = false;
  ParsedLine parsed;
  bool classified = false;
  for (ActiveFault& active : faults_) {
    if (active.fault.kind != FaultKind::kFailWrite) continue;
    // Only classify the line when a write fault could care.
    if (!classified) {
      const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
      const ReportLine line = LineOfReport(bytes);
      if (line.found) parsed = ParseLine(line.text);
      classified = true;
    }
    if (Fires(active, parsed.command, SectorOf(parsed))) fail = true;
  }
  return fail;
}

std::optional<std::uint32_t> QuorvexController::TakeUnplugRequest() {
  return std::exchange(unplugRequest_, std::nullopt);
}

// --- Commands ----------------------------------------------------------------

namespace {

void SetText(std::array<std::uint8_t, kReportDataSize / 2>& bytes, std::size_t& size,
             std::string_view text) {
  std::memcpy(bytes.data(), text.data(), text.size());
  size = text.size();
}

}  // namespace

void QuorvexController::StartDownload(Answer& answer) {
  // Outside service mode the controller runs its pumps and valves and does
  // not take a download: no answer.
  if (!serviceMode_) return;
  sectorAddress_.reset();
  chunkCount_ = 0;
  swappedChunks_.reset();
  answer.present = true;
  SetText(answer.bytes, answer.size, "READY");
}

void QuorvexController::SectorAddress(const ParsedLine& parsed, const FrameEffects& effects,
                                      Answer& answer) {
  if (!effects.skipErase) EraseSector(parsed.address / kSectorSize);
  sectorAddress_ = parsed.address;
  chunkCount_ = 0;
  swappedChunks_ = effects.swap;
  answer.present = true;
  SetText(answer.bytes, answer.size, "OK");
}

void QuorvexController::SectorData(const ParsedLine& parsed, const FrameEffects& effects) {
  // Without a Sector address there is nowhere to put the data.
  if (!sectorAddress_ || effects.dropChunk) return;
  std::array<std::uint8_t, kChunkSize> chunk = parsed.chunk;
  for (std::size_t i = 0; i < kChunkSize; ++i) chunk[i] ^= effects.flips[i];
  WriteChunk(chunk);
  if (effects.duplicateChunk) WriteChunk(chunk);
}

void QuorvexController::WriteChunk(const std::array<std::uint8_t, kChunkSize>& chunk) {
  std::uint32_t slot = chunkCount_++;
  if (swappedChunks_) {
    if (slot == swappedChunks_->first) {
      slot = swappedChunks_->second;
    } else if (slot == swappedChunks_->second) {
      slot = swappedChunks_->first;
    }
  }
  // Chunks past the sector's end run on into the next sector, as the
  // controller's plain address arithmetic would have it.
  const std::uint32_t base = *sectorAddress_ + slot * static_cast<std::uint32_t>(kChunkSize);
  for (std::size_t i = 0; i < kChunkSize; ++i) Program(base + static_cast<std::uint32_t>(i), chunk[i]);
}

void QuorvexController::SectorChecksum(const FrameEffects& effects, Answer& answer) {
  if (!sectorAddress_) return;  // no sector to sum: no answer
  const std::uint32_t sector = *sectorAddress_ / kSectorSize;
  std::uint32_t value = IsProtectedSector(sector) ? kProtectedChecksum : SectorSum(sector);
  if (effects.foreignSector) value = SectorSum(*effects.foreignSector % kSectorCount);
  if (effects.wrongChecksum) value += 1;
  answer.present = true;
  answer.size = 4;
  for (std::size_t i = 0; i < 4; ++i) answer.bytes[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

void QuorvexController::VerifyAddress(const ParsedLine& parsed, const FrameEffects& effects,
                                      Answer& answer) {
  answer.present = true;
  answer.size = kBlockSize;
  if (effects.readBackFill) {
    std::fill_n(answer.bytes.begin(), kBlockSize, *effects.readBackFill);
  } else {
    std::copy_n(flash_.begin() + parsed.address, kBlockSize, answer.bytes.begin());
  }
}

// --- Flash -------------------------------------------------------------------

bool QuorvexController::IsProtected(std::uint32_t address) const {
  return address >= options_.protectedBegin && address < options_.protectedEnd;
}

std::uint32_t QuorvexController::SectorSum(std::uint32_t sector) const {
  if (sector >= kSectorCount) return 0;
  const auto begin = flash_.begin() + sector * kSectorSize;
  std::uint32_t sum = 0;
  for (auto it = begin; it != begin + kSectorSize; ++it) sum += *it;
  return sum;
}

std::uint8_t QuorvexController::BootByte(std::uint32_t address) {
  // Any fixed pattern will do as long as it is not what an erased cell reads.
  const auto value = static_cast<std::uint8_t>((address * 0x9Du + (address >> 8)) ^ 0x5A);
  return value == 0xFF ? 0x00 : value;
}

void QuorvexController::LoadFlash(std::span<const std::uint8_t, kFlashSize> content) {
  std::copy(content.begin(), content.end(), flash_.begin());
  ApplyStuckBits(0, kFlashSize);
}

void QuorvexController::EraseSector(std::uint32_t sector) {
  if (sector >= kSectorCount || IsProtectedSector(sector)) return;
  const std::uint32_t begin = sector * kSectorSize;
  std::fill_n(flash_.begin() + begin, kSectorSize, std::uint8_t{0xFF});
  ApplyStuckBits(begin, begin + kSectorSize);
}

void QuorvexController::Program(std::uint32_t address, std::uint8_t byte) {
  if (address >= kFlashSize || IsProtected(address)) return;
  // NOR flash: programming can only clear bits; only an erase sets them again.
  flash_[address] &= byte;
  if (stuckFaults_ != 0) ApplyStuckBits(address, address + 1);
}

void QuorvexController::ApplyStuckBits(std::uint32_t begin, std::uint32_t end) {
  if (stuckFaults_ == 0) return;
  for (const ActiveFault& active : faults_) {
    const Fault& fault = active.fault;
    if (fault.kind != FaultKind::kStuckBits) continue;
    if (fault.address < begin || fault.address >= end || fault.address >= kFlashSize) continue;
    std::uint8_t& cell = flash_[fault.address];
    cell = static_cast<std::uint8_t>((cell & ~fault.mask) | (fault.value & fault.mask));
  }
}

// --- Output ------------------------------------------------------------------

QuorvexController::QueuedReport* QuorvexController::PushReport() {
  if (queueCount_ == queue_.size()) {
    ++counters_.reportsDropped;
    return nullptr;
  }
  QueuedReport& report = queue_[(queueHead_ + queueCount_) % queue_.size()];
  ++queueCount_;
  report.data.fill(0);
  report.withheldReads = 0;
  return &report;
}

void QuorvexController::Queue(const Answer& answer, const FrameEffects& effects) {
  QueuedReport* report = PushReport();
  if (report == nullptr) return;
  report->withheldReads = effects.withheldReads;
  char* text = reinterpret_cast<char*>(report->data.data());

  std::array<std::uint8_t, kReportDataSize / 2> bytes = answer.bytes;
  std::size_t size = answer.size;
  const std::optional<Corruption> corruption = effects.corruption;
  if (corruption == Corruption::kTooFewBytes && size > 0) --size;
  if (corruption == Corruption::kTooManyBytes && size + (answer.plain ? 0 : 1) < bytes.size()) {
    bytes[size++] = answer.plain ? '!' : 0x00;
  }

  std::size_t length = 0;
  if (answer.plain) {
    std::memcpy(text, bytes.data(), size);
    length = size;
  } else {
    // Answer bytes as upper-case hex digits, then their XOR byte.
    std::uint8_t check = 0;
    for (std::size_t i = 0; i < size; ++i) {
      text[length++] = kHexDigits[bytes[i] >> 4];
      text[length++] = kHexDigits[bytes[i] & 0x0F];
      check ^= bytes[i];
    }
    if (corruption == Corruption::kWrongXor) check ^= 0x01;
    text[length++] = kHexDigits[check >> 4];
    text[length++] = kHexDigits[check & 0x0F];
    if (corruption == Corruption::kOddDigits) text[--length] = '\0';
    if (corruption == Corruption::kNonHex && length > 1) text[1] = 'G';
  }
  if (corruption == Corruption::kLowerCase) {
    for (std::size_t i = 0; i < length; ++i) {
      if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
    }
  }
  if (corruption == Corruption::kEmpty) std::fill_n(text, length, '\0');
  RecordAnswer(*report);
}

void QuorvexController::RecordAnswer(const QueuedReport& report) {
  if (currentEntry_ == nullptr) return;
  if (!currentEntry_->answer.empty()) currentEntry_->answer += '\n';
  currentEntry_->answer.append(reinterpret_cast<const char*>(report.data.data()),
                               TextLength(report.data));
}

bool QuorvexController::PollReport(std::span<std::uint8_t> out) {
  if (queueCount_ == 0) return false;
  QueuedReport& report = queue_[queueHead_];
  if (report.withheldReads > 0) {
    --report.withheldReads;
    return false;
  }
  const std::size_t n = std::min(out.size(), report.data.size());
  std::copy_n(report.data.begin(), n, out.begin());
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), std::uint8_t{0});
  queueHead_ = (queueHead_ + 1) % queue_.size();
  --queueCount_;
  return true;
}

void QuorvexController::Reset() {
  queueHead_ = 0;
  queueCount_ = 0;
  sectorAddress_.reset();
  chunkCount_ = 0;
  swappedChunks_.reset();
  serviceMode_ = false;
  frameNumber_ = 0;
  unplugRequest_.reset();
  for (ActiveFault& active : faults_) active.seen = 0;
}

// --- Observation -------------------------------------------------------------

std::vector<TranscriptEntry> QuorvexController::Transcript() const {
  std::vector<TranscriptEntry> entries;
  entries.reserve(transcriptSize_);
  const std::size_t capacity = transcript_.size();
  for (std::size_t i = 0; i < transcriptSize_; ++i) {
    entries.push_back(transcript_[(transcriptNext_ + capacity - transcriptSize_ + i) % capacity]);
  }
  return entries;
}

}  // namespace lumbra::emulator
