// The dialog's work without the dialog: the tick dispatcher, the Download
// Firmware button and the close guard's decision, driving the service
// handshake, the download engine and the verify engine. The window only
// forwards its timer, its button and its close command here, so whole
// downloads run in tests by calling OnTick.
#pragma once

#include "link/hid_link.h"
#include "protocol/command_channel.h"
#include "protocol/dialog_port.h"
#include "transfer/transfer_state.h"

namespace lumbra::transfer {

inline constexpr int kTickPeriodMs = 25;
inline constexpr std::string_view kDialogTitle = "Quorvex Pump and Valve Firmware Ver. 2.01";
inline constexpr std::string_view kCloseRefusedBox = "Can not close program while downloading.";

class TransferController {
 public:
  TransferController(link::HidPlatform& platform, protocol::DialogPort& dialog);

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

  const TransferState& State() const { return state_; }
  TransferState& MutableState() { return state_; }
  link::HidLink& Link() { return link_; }

 private:
  // ... engines are private members (see transfer_controller.cpp)
  link::HidLink link_;
  protocol::DialogPort& dialog_;
  protocol::FieldTarget statusField_;
  TransferState state_;
  protocol::CommandChannel channel_;
};

}  // namespace lumbra::transfer
