// Every way the button's work can end, and what the technician is told then:
// one row per outcome, read by the one function that ends an activity.
#pragma once

#include <array>
#include <string_view>

namespace lumbra::transfer {

enum class Outcome {
  kVerified,               // the flash matches the image
  kVerifyFailed,           // the verification listed differences, at most 100
  kVerifyAborted,          // the 101st difference stopped the verification
  kVerifyBlockRefused,     // a verify block's answer was refused
  kVerifyLinkLost,         // a verify request could not be sent
  kDownloadFailed,         // a sector's checksum failed on every resend
  kStartRefused,           // Start download was not answered "READY"
  kStartLinkLost,          // Start download could not be sent
  kSectorAddressRefused,   // a sector address was not answered "OK"
  kSectorAddressLinkLost,  // a sector address could not be sent
  kDownloadLinkLost,       // a data or checksum frame could not be sent
  kNotDetected,            // no controller answered to its identifiers
  kHandshakeLinkLost,      // a controller was opened, but "service.on" could not be written
  kReportSizeUnsupported,  // only controllers with report lengths we cannot carry
  kStandInRefused,         // only real controllers, and this build carries the stand-in
  kAccessDenied,           // a controller is there, but may not be opened
};

// How an ending lets go of its activity, before anything is shown.
enum class Release {
  kHandshake,     // the handshake and the download it was for are cleared
  kDownload,      // the downloading flag is cleared
  kVerify,        // the verifying flag is cleared
  kVerifyAtDone,  // the verify step goes to Done; the next tick clears the flag
};

struct Ending {
  Release release;
  std::string_view status;                // empty: the link's own status line stays
  std::array<std::string_view, 2> boxes;  // in order; an empty one is not shown
};

const Ending& EndingOf(Outcome outcome);

// A short lower-case name, for logs, records and test messages.
std::string_view ToString(Outcome outcome);

}  // namespace lumbra::transfer
