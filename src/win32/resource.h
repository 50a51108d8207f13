// Resource and control identifiers of the Windows front end (lumbra.rc).
#pragma once

#define IDD_FIRMWARE_DIALOG 130
#define IDI_LUMBRA 128

// Controls of dialog template 130; firmware_window.cpp maps the read-only
// fields to lumbra::transfer::FieldId.
#define IDC_DOWNLOAD_PERCENT 1028
#define IDC_DOWNLOAD_BUTTON 1029
#define IDC_STATUS 1030
#define IDC_ERRORS 1034
#define IDC_VERIFY_PERCENT 1035
// Controls without an identifier (labels, group boxes): 65535, the system's
// "no identifier" as the 16-bit number it is. Not -1: windres stores a
// DIALOGEX control's identifier in 32 bits, as 0xFFFFFFFF.
#define IDC_STATIC 65535
