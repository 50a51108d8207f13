// The service handshake: "service.on" to the controller, once per connection,
// before a download begins.
#pragma once

#include "transfer/engine_context.h"

namespace lumbra::transfer {

class ServiceHandshake {
 public:
  explicit ServiceHandshake(EngineContext& context) : c_(context) {}

  // One tick's handshake. A controller that cannot be reached ends the
  // download it was for, with the reason discovery gave.
  void Run();

 private:
  EngineContext& c_;
};

}  // namespace lumbra::transfer
