// The controller's side of the conversation, without any transport: it takes
// the bytes of one output report (or one line), acts on its 64 KiB NOR flash
// and queues the input reports it answers with (64 data bytes each: the
// answer's text, then zero fill). The in-process HID platform and the uhid
// virtual device both drive it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/fault.h"
#include "emulator/line_parser.h"

namespace lumbra::emulator {

inline constexpr std::size_t kReportDataSize = 64;  // data bytes of one report, ID excluded
// Input reports the controller holds for the host before it drops new ones,
// as the kernel's hidraw queue does.
inline constexpr std::size_t kReportQueueCapacity = 64;
// The controller answers a checksum request for its own boot code with this.
inline constexpr std::uint32_t kProtectedChecksum = 0x00FFFFFF;

struct ControllerOptions {
  // The boot code: never erased or written; its sectors answer kProtectedChecksum.
  // Half-open address range; a sector is protected when its first byte is.
  std::uint32_t protectedBegin = 0xF000;
  std::uint32_t protectedEnd = 0xFC00;
  // Flash content at construction; empty = erased everywhere except the boot
  // code, which holds BootByte(address).
  std::vector<std::uint8_t> initialFlash;
  // Most recent frames kept in the transcript; 0 keeps none.
  std::size_t transcriptCapacity = 64;
};

// One received line and what the controller did with it.
struct TranscriptEntry {
  std::uint32_t frame = 0;  // since plug-in or reset, from 1
  std::string line;         // as received, without the carriage return
  Command command = Command::kUnknown;
  ParseError error = ParseError::kNone;
  std::string answer;       // texts of the reports queued for it, '\n' between; empty = none
};

// Running totals over the controller's life; a reset does not clear them.
struct ControllerCounters {
  std::uint64_t frames = 0;
  std::array<std::uint64_t, 7> byCommand{};  // indexed by Command
  std::uint64_t reportsDropped = 0;  // queue full

  std::uint64_t Count(Command command) const { return byCommand[static_cast<std::size_t>(command)]; }
};

class QuorvexController {
 public:
  explicit QuorvexController(ControllerOptions options = {});

  // --- Input ---------------------------------------------------------------
  // The data bytes of one output report (the bytes after the report ID): the
  // line up to its carriage return. A report without one is a frame that is
  // not understood.
  void ReceiveReport(std::span<const std::uint8_t> data);

  // --- Output --------------------------------------------------------------
  // One read opportunity: copies the next queued report's data into `out`
  // (zero-filling the rest of `out`) and returns true, or returns false when
  // nothing is queued or the next report is being withheld for this read.
  bool PollReport(std::span<std::uint8_t> out);
  std::size_t QueuedReports() const { return queueCount_; }

  // Power cycle: leaves service mode, and forgets queued reports, the sector
  // in progress, the frame numbering, a pending unplug and the frames each
  // fault has seen. Flash, faults (and how often they fired), counters and
  // the transcript are kept.
  void Reset();

  // --- Flash ---------------------------------------------------------------
  std::span<const std::uint8_t, kFlashSize> Flash() const { return flash_; }
  // Replaces the whole content, the boot code included. Stuck bits still apply.
  void LoadFlash(std::span<const std::uint8_t, kFlashSize> content);
  bool IsProtected(std::uint32_t address) const;
  bool IsProtectedSector(std::uint32_t sector) const { return IsProtected(sector * kSectorSize); }
  // Sum of the sector's bytes as stored.
  std::uint32_t SectorSum(std::uint32_t sector) const;
  // The boot code a fresh controller holds; never 0xFF.
  static std::uint8_t BootByte(std::uint32_t address);

  // --- Faults --------------------------------------------------------------
  // Returns an id for TimesFired.
  std::size_t AddFault(Fault fault);
  std::uint32_t TimesFired(std::size_t faultId) const;

  // For the transport, before it hands a written report over: counts the
  // attempt and returns true when a write fault says it fails.
  bool FailWriteAttempt(std::span<const std::uint8_t> data);
  // Set by an unplug fault after the frame it fired on: the number of
  // enumerations the device stays away (kNeverReplug: for good). Taking it
  // clears it.
  std::optional<std::uint32_t> TakeUnplugRequest();

  // --- Observation ---------------------------------------------------------
  // The kept frames, oldest first.
  std::vector<TranscriptEntry> Transcript() const;
  const ControllerCounters& Counters() const { return counters_; }

 private:
  struct ActiveFault {
    Fault fault;
    std::uint32_t seen = 0;
    std::uint32_t fired = 0;
  };
  struct QueuedReport {
    std::array<std::uint8_t, kReportDataSize> data{};
    std::uint32_t withheldReads = 0;
  };
  // The answer of one frame before it becomes text.
  struct Answer {
    bool present = false;
    bool plain = false;  // plain text rather than hex digits and a check byte
    std::array<std::uint8_t, kReportDataSize / 2> bytes{};
    std::size_t size = 0;
  };
  struct FrameEffects;

  void HandleLine(std::string_view line, const ParsedLine& parsed);
  FrameEffects CollectEffects(Command command, std::optional<std::uint32_t> sector);
  bool Fires(ActiveFault& active, Command command, std::optional<std::uint32_t> sector);
  std::optional<std::uint32_t> SectorOf(const ParsedLine& parsed) const;

  void StartDownload(Answer& answer);
  void SectorAddress(const ParsedLine& parsed, const FrameEffects& effects, Answer& answer);
  void SectorData(const ParsedLine& parsed, const FrameEffects& effects);
  void WriteChunk(const std::array<std::uint8_t, kChunkSize>& chunk);
  void SectorChecksum(const FrameEffects& effects, Answer& answer);
  void VerifyAddress(const ParsedLine& parsed, const FrameEffects& effects, Answer& answer);

  void EraseSector(std::uint32_t sector);
  void Program(std::uint32_t address, std::uint8_t byte);
  void ApplyStuckBits(std::uint32_t begin, std::uint32_t end);

  void Queue(const Answer& answer, const FrameEffects& effects);
  QueuedReport* PushReport();
  void RecordAnswer(const QueuedReport& report);

  ControllerOptions options_;
  std::array<std::uint8_t, kFlashSize> flash_{};
  bool serviceMode_ = false;

  // The sector being written: its address as the Sector address frame gave
  // it and the chunks counted since.
  std::optional<std::uint32_t> sectorAddress_;
  std::uint32_t chunkCount_ = 0;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> swappedChunks_;

  std::uint32_t frameNumber_ = 0;
  std::vector<ActiveFault> faults_;
  std::size_t stuckFaults_ = 0;
  std::optional<std::uint32_t> unplugRequest_;

  std::array<QueuedReport, kReportQueueCapacity> queue_{};
  std::size_t queueHead_ = 0;
  std::size_t queueCount_ = 0;

  // Ring of transcript entries; their strings keep their capacity between frames.
  std::vector<TranscriptEntry> transcript_;
  std::size_t transcriptNext_ = 0;
  std::size_t transcriptSize_ = 0;
  TranscriptEntry* currentEntry_ = nullptr;

  ControllerCounters counters_;
};

}  // namespace lumbra::emulator
