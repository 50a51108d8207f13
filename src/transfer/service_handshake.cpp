#include "transfer/service_handshake.h"

#include "protocol/service.h"
#include "transfer/messages.h"

namespace lumbra::transfer {

namespace {

Outcome Unreachable(link::Discovery discovery) {
  switch (discovery) {
    case link::Discovery::kNotFound: return Outcome::kNotDetected;
    case link::Discovery::kUnsupported: return Outcome::kReportSizeUnsupported;
    case link::Discovery::kRealRefused: return Outcome::kStandInRefused;
    case link::Discovery::kAccessDenied: return Outcome::kAccessDenied;
    case link::Discovery::kOpened: break;  // opened, but the line could not be written
  }
  return Outcome::kHandshakeLinkLost;
}

}  // namespace

void ServiceHandshake::Run() {
  c_.events.OnPhase(Phase::kHandshake);
  // A controller that answered once is not asked again while it stays
  // connected. One that has gone since is found gone here, and the controller
  // opened in its place is asked.
  if (c_.state.serviceMode && c_.link.StillOpen()) return;
  if (c_.link.SendLine(protocol::kServiceOnLine) == link::SendResult::kLinkLost) {
    c_.End(Unreachable(c_.link.LastDiscovery()));
    return;
  }
  c_.link.Pause(kAnswerPauseMs);
  // Only the first ten characters count. A different answer, or none, changes
  // nothing: the download still begins.
  const std::optional<std::string_view> reply = c_.link.ReadReply();
  if (reply && reply->substr(0, protocol::kServiceOnReply.size()) == protocol::kServiceOnReply) {
    c_.SetStatus(kConnected);
    c_.state.serviceMode = true;
  }
}

}  // namespace lumbra::transfer
