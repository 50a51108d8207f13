#include "transfer/endings.h"

#include <cstddef>

#include "transfer/messages.h"
#include "transfer/transfer_events.h"

namespace lumbra::transfer {

namespace {

struct Row {
  Outcome outcome;
  std::string_view name;
  Ending ending;
};

// Where a lost link also ends a step that shows its own box, both boxes are
// shown, the send failure's first; where the two would be the same text, the
// box is shown once.
constexpr Row kEndings[] = {
    {Outcome::kVerified, "verified",
     {Release::kVerifyAtDone, kVerifyFinished, {kVerifyFinishedBox}}},
    {Outcome::kVerifyFailed, "verify failed",
     {Release::kVerifyAtDone, kVerifyFailed, {kVerifyFailedBox}}},
    {Outcome::kVerifyAborted, "verify aborted",
     {Release::kVerifyAtDone, kVerifyAborted, {kVerifyAbortedBox}}},
    {Outcome::kVerifyBlockRefused, "verify block refused",
     {Release::kVerify, kVerifyAddressFailed, {kVerifyReadFailedBox}}},
    {Outcome::kVerifyLinkLost, "link lost in the verification",
     {Release::kVerify, kVerifyAddressFailed, {kVerifyReadFailedBox}}},
    {Outcome::kDownloadFailed, "download failed",
     {Release::kDownload, kDownloadFailed, {kDownloadFailedBox}}},
    {Outcome::kStartRefused, "start refused",
     {Release::kDownload, kStartFailed, {kStartFailedBox}}},
    {Outcome::kStartLinkLost, "link lost at start",
     {Release::kDownload, kStartFailed, {kDownloadSendFailedBox, kStartFailedBox}}},
    {Outcome::kSectorAddressRefused, "sector address refused",
     {Release::kDownload, kSectorAddressFailed, {kSectorAddressFailedBox}}},
    {Outcome::kSectorAddressLinkLost, "link lost at a sector address",
     {Release::kDownload, kSectorAddressFailed, {kDownloadSendFailedBox, kSectorAddressFailedBox}}},
    {Outcome::kDownloadLinkLost, "link lost in the download",
     {Release::kDownload, {}, {kDownloadSendFailedBox}}},
    {Outcome::kNotDetected, "not detected", {Release::kHandshake, {}, {kNotDetectedBox}}},
    {Outcome::kHandshakeLinkLost, "link lost in the handshake",
     {Release::kHandshake, {}, {kNotDetectedBox}}},
    {Outcome::kReportSizeUnsupported, "report size unsupported",
     {Release::kHandshake, {}, {kNotDetectedBox}}},
    {Outcome::kStandInRefused, "stand-in refused", {Release::kHandshake, {}, {kStandInRefusedBox}}},
    {Outcome::kAccessDenied, "access denied", {Release::kHandshake, {}, {kAccessDeniedBox}}},
};

constexpr bool RowsInEnumOrder() {
  for (std::size_t i = 0; i < std::size(kEndings); ++i) {
    if (static_cast<std::size_t>(kEndings[i].outcome) != i) return false;
  }
  return std::size(kEndings) == static_cast<std::size_t>(Outcome::kAccessDenied) + 1;
}
static_assert(RowsInEnumOrder(), "one row per outcome, in the enum's order");

}  // namespace

const Ending& EndingOf(Outcome outcome) { return kEndings[static_cast<std::size_t>(outcome)].ending; }

std::string_view ToString(Outcome outcome) {
  return kEndings[static_cast<std::size_t>(outcome)].name;
}

std::string_view ToString(Phase phase) {
  switch (phase) {
    case Phase::kHandshake: return "handshake";
    case Phase::kDownload: return "download";
    case Phase::kVerify: return "verify";
  }
  return "";
}

}  // namespace lumbra::transfer
