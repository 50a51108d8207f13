// The verify engine: the whole flash read back in 16-byte blocks and compared
// with the image, outside the skip window; every difference is listed, and
// the 101st aborts the verification.
#pragma once

#include <cstdint>

#include "protocol/reply.h"
#include "transfer/engine_context.h"

namespace lumbra::transfer {

inline constexpr int kMaxVerifyErrors = 100;  // differences listed before the verification aborts

class VerifyEngine {
 public:
  explicit VerifyEngine(EngineContext& context) : c_(context) {}

  // One step, by the verify step; each step sets the next.
  void Step();

 private:
  void Begin();
  void SendAddress();
  void Compare();
  // Lists a difference; false when it was one too many and the verification ended.
  bool ListDifference(FlashAddress address, std::uint8_t found);
  bool Skipped(FlashAddress address) const;

  EngineContext& c_;
  protocol::Reply block_;  // the last block read back, for the Compare step
};

}  // namespace lumbra::transfer
