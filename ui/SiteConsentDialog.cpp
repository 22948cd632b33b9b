#include "ui/SiteConsentDialog.h"

#include "ui/resource.h"

#include <utility>

CSiteConsentDialog::CSiteConsentDialog(std::wstring origin, HWND owner) noexcept
    : CDialog(IDD_SITE_CONSENT, owner), origin_(std::move(origin)) {}

ConsentAnswer CSiteConsentDialog::AnswerOf(INT_PTR ended) {
    switch (ended) {
    case IDC_CONSENT_ALWAYS:
        return ConsentAnswer::AllowAlways;
    case IDC_CONSENT_ONCE:
        return ConsentAnswer::AllowOnce;
    case IDC_CONSENT_DENY:
        return ConsentAnswer::Deny;
    case IDCANCEL:
        return ConsentAnswer::Dismissed;
    default:
        return ConsentAnswer::NotShown;
    }
}

BOOL CSiteConsentDialog::OnInitDialog() {
    CDialog::OnInitDialog();
    SetDlgItemTextW(GetSafeHwnd(), IDC_CONSENT_ORIGIN, origin_.c_str());
    // The focus starts on the default button (Deny), not in the origin box.
    SetFocus(GetDlgItem(IDC_CONSENT_DENY));
    return FALSE;
}

bool CSiteConsentDialog::OnCommand(WORD id, WORD code, HWND control) {
    if (code == BN_CLICKED &&
        (id == IDC_CONSENT_ALWAYS || id == IDC_CONSENT_ONCE || id == IDC_CONSENT_DENY)) {
        EndDialog(id);
        return true;
    }
    // Enter arrives as IDOK: it means the default button.
    if (code == BN_CLICKED && id == IDOK) {
        EndDialog(IDC_CONSENT_DENY);
        return true;
    }
    return CDialog::OnCommand(id, code, control);
}
