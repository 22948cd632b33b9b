#include "ui/SiteConsentDialog.h"

#include "ui/resource.h"

#include <utility>

namespace {

constexpr UINT_PTR kOpenAnswersTimer = 1;
constexpr int kAnswers[] = {IDC_CONSENT_ALWAYS, IDC_CONSENT_ONCE, IDC_CONSENT_DENY};

// The origin box's device context with the box's font selected, for measuring its text.
class BoxText {
public:
    explicit BoxText(HWND box) : box_(box), dc_(GetDC(box)) {
        if (dc_ != nullptr) {
            previous_ =
                SelectObject(dc_, reinterpret_cast<HGDIOBJ>(SendMessageW(box, WM_GETFONT, 0, 0)));
        }
    }
    ~BoxText() {
        if (dc_ != nullptr) {
            SelectObject(dc_, previous_);
            ReleaseDC(box_, dc_);
        }
    }
    BoxText(const BoxText&) = delete;
    BoxText& operator=(const BoxText&) = delete;

    bool Fits(const std::wstring& text) const {
        RECT client{};
        GetClientRect(box_, &client);
        DWORD margins = DWORD(SendMessageW(box_, EM_GETMARGINS, 0, 0));
        LONG room = client.right - client.left - LOWORD(margins) - HIWORD(margins) - 2; // caret
        SIZE size{};
        return dc_ == nullptr ||
               (GetTextExtentPoint32W(dc_, text.c_str(), int(text.size()), &size) &&
                size.cx <= room);
    }

private:
    HWND box_;
    HDC dc_;
    HGDIOBJ previous_ = nullptr;
};

// The origin as the box can show it whole. A host too long for the box loses characters on its
// left, after the scheme, so that its end, the part that says who owns it, stays in view:
// "https://bank.example.secure-login-...-evil.example" cannot pass for the bank.
std::wstring Fitted(HWND box, const std::wstring& origin) {
    BoxText text(box);
    size_t authority = origin.find(L"://");
    size_t keep = authority == std::wstring::npos ? 0 : authority + 3;
    std::wstring shown = origin;
    for (size_t cut = keep + 1; !text.Fits(shown) && cut < origin.size(); ++cut) {
        shown = origin.substr(0, keep) + L"\u2026" + origin.substr(cut);
    }
    return shown;
}

} // namespace

CSiteConsentDialog::CSiteConsentDialog(std::wstring origin, HWND owner, bool offerAlways,
                                       UINT answerDelayMs) noexcept
    : CDialog(IDD_SITE_CONSENT, owner), origin_(std::move(origin)), offerAlways_(offerAlways),
      answerDelayMs_(answerDelayMs) {}

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

bool CSiteConsentDialog::Offers(int answer) const {
    return answer != IDC_CONSENT_ALWAYS || offerAlways_;
}

BOOL CSiteConsentDialog::OnInitDialog() {
    CDialog::OnInitDialog();
    HWND box = GetDlgItem(IDC_CONSENT_ORIGIN);
    SetWindowTextW(box, Fitted(box, origin_).c_str());
    if (!offerAlways_) {
        ShowWindow(GetDlgItem(IDC_CONSENT_ALWAYS), SW_HIDE);
    }
    HoldAnswers();
    return FALSE;
}

void CSiteConsentDialog::HoldAnswers() {
    answersHeld_ = true;
    // The focus waits in the origin box, where no key answers anything; a disabled button is
    // out of reach of Tab, Enter and Space alike.
    SetFocus(GetDlgItem(IDC_CONSENT_ORIGIN));
    for (int answer : kAnswers) {
        EnableWindow(GetDlgItem(answer), FALSE);
    }
    SetTimer(GetSafeHwnd(), kOpenAnswersTimer, answerDelayMs_, nullptr);
}

void CSiteConsentDialog::OpenAnswers() {
    KillTimer(GetSafeHwnd(), kOpenAnswersTimer);
    answersHeld_ = false;
    for (int answer : kAnswers) {
        EnableWindow(GetDlgItem(answer), Offers(answer) ? TRUE : FALSE);
    }
    // The focus goes to Deny, the default. Focusing a control of a dialog that is not active
    // would activate it and hold the answers once more; activation puts it there in time.
    if (GetActiveWindow() == GetSafeHwnd()) {
        SendMessageW(GetSafeHwnd(), WM_NEXTDLGCTL,
                     reinterpret_cast<WPARAM>(GetDlgItem(IDC_CONSENT_DENY)), TRUE);
    }
}

bool CSiteConsentDialog::OnActivate(bool active) {
    if (!active) {
        return false;
    }
    HoldAnswers();
    return true;
}

void CSiteConsentDialog::OnTimer(UINT_PTR id) {
    if (id == kOpenAnswersTimer) {
        OpenAnswers();
    }
}

bool CSiteConsentDialog::OnCommand(WORD id, WORD code, HWND control) {
    const bool answers =
        code == BN_CLICKED && (id == IDC_CONSENT_ALWAYS || id == IDC_CONSENT_ONCE ||
                               id == IDC_CONSENT_DENY || id == IDOK);
    if (answers && (answersHeld_ || !Offers(id))) {
        return true; // out of reach: nothing answers
    }
    if (answers) {
        // Enter arrives as IDOK: it means the default button.
        EndDialog(id == IDOK ? IDC_CONSENT_DENY : id);
        return true;
    }
    return CDialog::OnCommand(id, code, control);
}
