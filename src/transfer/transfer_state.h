// Everything the handshake, the download engine and the verify engine keep
// between ticks.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/command_channel.h"

namespace lumbra::transfer {

enum class DownloadStep : std::int32_t {
  kStart = 0,
  kSendAddress = 1,
  kSendData = 2,
  // No step has the value 3.
  kReadChecksum = 4,
  kFinish = 5,
};

enum class VerifyStep : std::int32_t { kBegin = 0, kSendAddress = 1, kCompare = 2, kDone = 3 };

const char* ToString(DownloadStep step);
const char* ToString(VerifyStep step);

// Address range the verifier does not compare: sectors the controller
// reported as protected (checksum 0x00FFFFFF) during the download.
struct SkipWindow {
  bool open = false;
  bool closed = false;
  std::int32_t start = 0;
  std::int32_t end = 0;
};

struct TransferState {
  protocol::ActivityFlags flags;
  bool serviceMode = false;  // the controller answered "SERVICE ON" during this run

  DownloadStep downloadStep = DownloadStep::kStart;
  std::uint32_t currentAddress = 0;  // sector being written, or block being read
  std::int32_t endAddress = 0;       // last image address, 0xFFFF
  std::int32_t imagePosition = 0;    // next image byte to send, or to compare
  std::int32_t chunkCount = 0;       // chunks sent in the current sector
  std::uint32_t runningSum = 0;      // sum of the bytes sent in the current sector
  std::int32_t retryCount = 0;       // checksum failures of the current sector, in a row
  float percent = 0.0f;
  SkipWindow skipWindow;

  VerifyStep verifyStep = VerifyStep::kBegin;
  std::int32_t errorCount = 0;
  std::string errorLog;
};

}  // namespace lumbra::transfer
