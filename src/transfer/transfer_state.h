// Everything the handshake, the download engine and the verify engine keep
// between ticks.
#pragma once

#include <cstdint>

#include "transfer/firmware_image.h"

namespace lumbra::transfer {

// What the tick dispatcher decides by. An activity lets go before it shows
// the box that ends it, since ticks keep arriving under the box: the
// handshake and the download clear their flag, the verification clears its
// flag or, when it ends in a Compare step, sets its step to Done, which the
// next tick completes (endings.h).
struct ActivityFlags {
  bool connectPending = false;  // the next tick runs the service handshake
  bool downloading = false;     // the download engine is active
  bool verifying = false;       // the verify engine is active
};

enum class DownloadStep { kStart, kSendAddress, kSendData, kReadChecksum, kFinish };

enum class VerifyStep { kBegin, kSendAddress, kCompare, kDone };

// Address range the verifier does not compare: sectors the controller
// reported as protected (checksum 0x00FFFFFF) during the download.
struct SkipWindow {
  bool open = false;
  bool closed = false;
  FlashAddress start = 0;
  FlashAddress end = 0;
};

struct TransferState {
  ActivityFlags flags;
  bool serviceMode = false;  // the open controller answered "SERVICE ON"

  DownloadStep downloadStep = DownloadStep::kStart;
  FlashAddress currentAddress = 0;  // sector being written, or block being read
  FlashAddress endAddress = 0;      // last image address
  FlashAddress imagePosition = 0;   // next image byte to send, or to compare
  std::int32_t chunkCount = 0;      // chunks sent in the current sector
  std::uint32_t runningSum = 0;     // sum of the bytes sent in the current sector
  std::int32_t retryCount = 0;      // checksum failures of the current sector, in a row
  SkipWindow skipWindow;

  VerifyStep verifyStep = VerifyStep::kBegin;
  std::int32_t errorCount = 0;      // differences found in this verification
};

}  // namespace lumbra::transfer
