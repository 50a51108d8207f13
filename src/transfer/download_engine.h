// The download engine: the image in 64 sectors of 1,024 bytes, each sent as
// 64 chunks, its checksum read back and the sector resent up to five times.
#pragma once

#include <cstdint>

#include "transfer/engine_context.h"

namespace lumbra::transfer {

inline constexpr int kMaxSectorRetries = 5;  // resends of one sector before the download fails

class DownloadEngine {
 public:
  explicit DownloadEngine(EngineContext& context) : c_(context) {}

  // One step, by the download step; each step sets the next.
  void Step();

 private:
  void Start();
  void SendAddress();
  void SendData();
  void ReadChecksum();
  void Finish();
  // Whether the controller's checksum confirms the sector just sent; a
  // protected sector's answer opens the skip window, the first confirmed
  // sector after it closes the window.
  bool ConfirmSectorAndMoveSkipWindow(std::uint32_t checksum);

  EngineContext& c_;
};

}  // namespace lumbra::transfer
