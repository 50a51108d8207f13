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
#include "protocol/dialog_port.h"
#include "transfer/transfer_state.h"

namespace lumbra::transfer {

inline constexpr int kTickPeriodMs = 25;
inline constexpr int kServicePauseMs = 2;
inline constexpr std::string_view kDialogTitle = "Quorvex Pump and Valve Firmware Ver. 2.01";
inline constexpr std::string_view kServiceOnLine = "service.on";
inline constexpr std::string_view kServiceOnReply = "SERVICE ON";

inline constexpr std::int32_t kEndAddress = 0xFFFF;
inline constexpr int kChunksPerSector = 64;
inline constexpr int kMaxSectorRetries = 5;  // resends of one sector before the download fails
inline constexpr int kMaxVerifyErrors = 100;  // differences listed before the verification aborts
// The controller's checksum answer for a sector it protects and did not write.
inline constexpr std::uint32_t kProtectedSectorSum = 0x00FFFFFF;

class TransferController {
 public:
  TransferController(link::HidPlatform& platform, protocol::DialogPort& dialog);
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

  // True while a download (or its handshake) is running.
  bool Downloading() const { return state_.flags.downloading; }

  const TransferState& State() const { return state_; }
  link::HidLink& Link() { return link_; }

 private:
  void Handshake();
  void RunDownloadStep();
  void RunVerifyStep();
  void StartStep();
  void SendAddressStep();
  void SendDataStep();
  void ReadChecksumStep();
  void FinishStep();
  void VerifyAddressStep();
  void CompareStep();
  bool ChecksumRule(std::uint32_t value);
  bool Skipped(std::int32_t position) const;
  void ShowPercent(protocol::FieldId field);
  void SetStatus(std::string_view text);

  link::HidLink link_;
  protocol::DialogPort& dialog_;
  protocol::FieldTarget statusField_;
  TransferState state_;
  protocol::CommandChannel channel_;
  protocol::Reply block_;  // the last block read back, for the Compare step
};

}  // namespace lumbra::transfer
