// Resource and control identifiers of the Windows front end (lumbra.rc).
#pragma once

#define IDD_FIRMWARE_DIALOG 130
#define IDI_LUMBRA 128

// Controls of dialog template 130. The four read-only fields have the
// identifiers of lumbra::transfer::FieldId.
#define IDC_DOWNLOAD_PERCENT 1028
#define IDC_DOWNLOAD_BUTTON 1029
#define IDC_STATUS 1030
#define IDC_ERRORS 1034
#define IDC_VERIFY_PERCENT 1035
