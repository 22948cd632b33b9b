// Resource and control identifiers of the certificate selection dialog. Shared by the dialog's
// code and its resource script, so plain #defines that the resource compiler understands.
#pragma once

// Dialog template.
#define IDD_CERT_SELECT 201

// Controls of template 201.
#define IDC_CERT_LIST 201
#define IDC_DN_EDIT 202
#define IDC_CONFIRM 203
#define IDC_CANCEL_BUTTON 204

// The banner picture at the top of the dialog.
#define IDB_CERT_BANNER 203

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
