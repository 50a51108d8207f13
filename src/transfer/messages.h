// The texts the dialog's title, the handshake and the engines show: the
// title, the status line, the error field and the message boxes. The link
// writes its own status texts (link/hid_link.h); the dialog's labels are in
// its templates.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "transfer/firmware_image.h"

namespace lumbra::transfer {

// The dialog's title, also the caption of every message box.
inline constexpr std::string_view kDialogTitle = "Quorvex Pump and Valve Firmware Ver. " LUMBRA_IMAGE_VERSION;

// Status line.
inline constexpr std::string_view kConnected = "Connected.";
inline constexpr std::string_view kStartFailed = "Unable to Start firmware download.";
inline constexpr std::string_view kDownloadingSector = "Downloading sector to FLASH";
inline constexpr std::string_view kResendingSector = "Checksum error. Resending sector.";
inline constexpr std::string_view kSectorAddressFailed = "Unable to send sector address.";
inline constexpr std::string_view kReadingChecksum = "Reading sector checksum.";
inline constexpr std::string_view kDownloadFailed = "Download Failed!";
inline constexpr std::string_view kDownloadFinished = "Download Finished. Starting Verify.";
inline constexpr std::string_view kVerifyAddressFailed = "Unable to send verify block address.";
inline constexpr std::string_view kVerifyAborted = "Verify Aborted! To many errors!";
inline constexpr std::string_view kVerifyFinished = "Verify Finished. Cycle Power.";
inline constexpr std::string_view kVerifyFailed = "Verify Failed!";
// kVerifyingAddress, a blank and "0x%X" with the block address about to be
// read, written into `buffer` (once per block: no allocation).
inline constexpr std::string_view kVerifyingAddress = "Verifying address";
using TextBuffer = std::array<char, 40>;
std::string_view VerifyingAddress(std::uint32_t address, TextBuffer& buffer);

// Error field: one line per differing byte, "add 0x%X = 0x%X should be 0x%X\r\n".
std::string DifferenceLine(std::uint32_t address, std::uint8_t found, std::uint8_t expected);

// Message boxes.
inline constexpr std::string_view kNotDetectedBox =
    "Quorvex not detected!\nCheck Quorvex power and USB cable.";
// A controller is there, but the system would not let this user open it.
#ifdef _WIN32
inline constexpr std::string_view kAccessDeniedBox =
    "Quorvex detected, but it cannot be opened.\n"
    "Close any other program that uses it, then plug it in again.";
#else
inline constexpr std::string_view kAccessDeniedBox =
    "Quorvex detected, but this user may not open it.\n"
    "Install the udev rule (see man lumbra), then plug the controller in again.";
#endif
inline constexpr std::string_view kStartFailedBox =
    "Unable to Start firmware download.!\nCheck Quorvex power and USB cable.";
// A send that lost the link for good ends the download with this box, or the
// verification with kVerifyReadFailedBox (endings.cpp says which step adds its own).
inline constexpr std::string_view kDownloadSendFailedBox =
    "Can't write to Quorvex!\nDownload failed!\nService call required!";
inline constexpr std::string_view kSectorAddressFailedBox =
    "Unable to send sector address!\nDownload failed!\nService call required!";
inline constexpr std::string_view kDownloadFailedBox = "Download failed!\nService call required!";
inline constexpr std::string_view kVerifyReadFailedBox = "Can't read from Quorvex!\nVerify failed!";
inline constexpr std::string_view kVerifyAbortedBox = kVerifyAborted;
inline constexpr std::string_view kVerifyFinishedBox = kVerifyFinished;
inline constexpr std::string_view kVerifyFailedBox = "Verify failed!\nService call required!";
inline constexpr std::string_view kStandInRefusedBox =
    "This lumbra carries a stand-in firmware image, not Quorvex firmware " LUMBRA_IMAGE_VERSION ".\n"
    "It writes only to the virtual controller.";
inline constexpr std::string_view kCloseRefusedBox = "Can not close program while downloading.";

// Percentage fields once an activity has completed (no percent sign).
inline constexpr std::string_view kPercentComplete = "100.00";

}  // namespace lumbra::transfer
