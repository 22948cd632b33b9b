// Resource and control identifiers of the dialogs. Shared by the dialogs' code and their resource
// scripts, so plain #defines that the resource compiler understands.
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

// The site consent dialog: its template and controls. "Allow always" is the check box that turns
// Allow into allow-always; a dialog ended by Allow with it ticked ends with its identifier.
#define IDD_SITE_CONSENT 210
#define IDC_CONSENT_ORIGIN 211
#define IDC_CONSENT_ALWAYS 212
#define IDC_CONSENT_ALLOW 213
#define IDC_CONSENT_DENY 214

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
