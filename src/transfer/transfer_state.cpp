#include "transfer/transfer_state.h"

namespace lumbra::transfer {

const char* ToString(DownloadStep step) {
  switch (step) {
    case DownloadStep::kStart: return "Start";
    case DownloadStep::kSendAddress: return "SendAddress";
    case DownloadStep::kSendData: return "SendData";
    case DownloadStep::kReadChecksum: return "ReadChecksum";
    case DownloadStep::kFinish: return "Finish";
  }
  return "?";
}

const char* ToString(VerifyStep step) {
  switch (step) {
    case VerifyStep::kBegin: return "Begin";
    case VerifyStep::kSendAddress: return "SendAddress";
    case VerifyStep::kCompare: return "Compare";
    case VerifyStep::kDone: return "Done";
  }
  return "?";
}

}  // namespace lumbra::transfer
