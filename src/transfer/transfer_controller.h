// The dialog's work without the dialog: the tick dispatcher, the Download
// Firmware button and the close guard's decision, driving the service
// handshake, the download engine and the verify engine. The window only
// forwards its timer, its button and its close command here, so whole
// downloads run in tests by calling OnTick.
#pragma once

#include <cstdint>
#include <string_view>

#include "link/hid_link.h"
#include "protocol/command_channel.h"
#include "transfer/dialog_port.h"
#include "transfer/transfer_state.h"

namespace lumbra::transfer {

inline constexpr int kTickPeriodMs = 25;
// The pause after "service.on" and after Start download, before the answer is read.
inline constexpr int kAnswerPauseMs = 2;
inline constexpr std::string_view kDialogTitle = "Quorvex Pump and Valve Firmware Ver. 2.01";
inline constexpr std::string_view kServiceOnLine = "service.on";
inline constexpr std::string_view kServiceOnReply = "SERVICE ON";

inline constexpr int kMaxSectorRetries = 5;  // resends of one sector before the download fails
inline constexpr int kMaxVerifyErrors = 100;  // differences listed before the verification aborts
// The controller's checksum answer for a sector it protects and did not write.
inline constexpr std::uint32_t kProtectedSectorSum = 0x00FFFFFF;

class TransferController {
 public:
  TransferController(link::HidPlatform& platform, DialogPort& dialog);
  TransferController(const TransferController&) = delete;
  TransferController& operator=(const TransferController&) = delete;

  // The dialog's initialisation: clears the activity state and points the
  // link's status line at the dialog. Sends nothing.
  void Init();

  // One timer tick: at most one step of the handshake, else the download,
  // else the verification.
  void OnTick();

  // The Download Firmware button. Ignored while a download or its handshake
  // is pending; otherwise the next tick starts the handshake.
  void BeginDownload();

  // The close guard. Returns true when the dialog may close; while a download
  // runs it shows its message box and returns false.
  bool OnClose();

  // True while a handshake, a download or a verification is under way.
  bool Busy() const {
    return state_.flags.connectPending || state_.flags.downloading || state_.flags.verifying;
  }

  const TransferState& State() const { return state_; }

 private:
  void Handshake();
  // Sends a frame; a lost link ends the running activity with its box.
  void Send(const protocol::CommandFrame& frame);
  protocol::Reply Request(const protocol::CommandFrame& frame, protocol::PendingReply kind);

  void RunDownloadStep();
  void StartStep();
  void SendAddressStep();
  void SendDataStep();
  void ReadChecksumStep();
  bool ChecksumRule(std::uint32_t value);
  void FinishStep();

  void RunVerifyStep();
  void VerifyAddressStep();
  void CompareStep();
  bool ListDifference(FlashAddress address, std::uint8_t found);
  void FinishVerify();
  bool Skipped(FlashAddress address) const;

  void ShowPercent(FieldId field);
  void SetStatus(std::string_view text);

  link::HidLink link_;
  DialogPort& dialog_;
  FieldTarget statusField_;
  TransferState state_;
  protocol::CommandChannel channel_;
  bool lastSendFailed_ = false;  // the last frame's send lost the link, and said so
  protocol::Reply block_;        // the last block read back, for the Compare step
};

}  // namespace lumbra::transfer
