#include "ui/SiteConsentDialog.h"

#include "ui/resource.h"

#include <algorithm>
#include <utility>

namespace {

constexpr UINT_PTR kOpenAnswersTimer = 1;
constexpr int kAnswers[] = {IDC_CONSENT_ALWAYS, IDC_CONSENT_ALLOW, IDC_CONSENT_DENY};
// Names the dialog object on its window, for the input screen.
constexpr wchar_t kScreenedProperty[] = L"Quillmark.ConsentDialog";
// How often a dialog waiting for its owner looks whether it is shown again.
constexpr DWORD kOwnerPollMs = 200;

// The thread's input screen: one hook, however many consent dialogs are open on the thread (a page
// can open a second one from a nested message loop).
struct ThreadScreen {
    HHOOK hook = nullptr;
    unsigned dialogs = 0;
};
thread_local ThreadScreen t_screen;

enum class Press {
    None,   // not a press
    Client, // a mouse button pressed over the dialog's client area or a control
    Frame,  // a mouse button pressed on the caption, the frame or the close box
    Key,    // a key pressed
    Repeat, // a key held down since earlier: a press that began before
};

bool IsModifier(WPARAM key) {
    switch (key) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_LMENU:
    case VK_RMENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
        return true;
    default:
        return false;
    }
}

// Modifiers answer nothing alone, and Shift before Tab must not make Tab a press that follows too
// soon: they are no presses.
Press PressOf(const MSG& message) {
    switch (message.message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK:
    case WM_XBUTTONDOWN:
    case WM_XBUTTONDBLCLK:
        return Press::Client;
    case WM_NCLBUTTONDOWN:
    case WM_NCLBUTTONDBLCLK:
    case WM_NCRBUTTONDOWN:
    case WM_NCRBUTTONDBLCLK:
    case WM_NCMBUTTONDOWN:
    case WM_NCMBUTTONDBLCLK:
    case WM_NCXBUTTONDOWN:
    case WM_NCXBUTTONDBLCLK:
        return Press::Frame;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        if (IsModifier(message.wParam)) {
            return Press::None;
        }
        return (message.lParam & (LPARAM(1) << 30)) != 0 ? Press::Repeat : Press::Key;
    default:
        return Press::None;
    }
}

// Whether `later` came at least `gap` milliseconds after `earlier` (message times wrap).
bool AtLeastAfter(DWORD later, DWORD earlier, DWORD gap) {
    return LONG(later - earlier) >= LONG(gap);
}

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
                                       UINT answerDelayMs, DWORD ownerWaitMs) noexcept
    : CDialog(IDD_SITE_CONSENT, owner), origin_(std::move(origin)), owner_(owner),
      offerAlways_(offerAlways), answerDelayMs_(answerDelayMs), ownerWaitMs_(ownerWaitMs) {}

ConsentAnswer CSiteConsentDialog::AnswerOf(INT_PTR ended) {
    switch (ended) {
    case IDC_CONSENT_ALWAYS:
        return ConsentAnswer::AllowAlways;
    case IDC_CONSENT_ALLOW:
        return ConsentAnswer::AllowOnce;
    case IDC_CONSENT_DENY:
        return ConsentAnswer::Deny;
    case IDCANCEL:
        return ConsentAnswer::Dismissed;
    default:
        return ConsentAnswer::NotShown;
    }
}

ConsentAnswer CSiteConsentDialog::Ask() {
    if (!WaitForOwner()) {
        return ConsentAnswer::NotShown;
    }
    return AnswerOf(DoModal());
}

// A dialog for a page in a background tab or a minimised window would come up over whatever the
// user is doing, and take the clicks and keys meant for it. It waits, with the thread's messages
// flowing, until the owner is shown; false when the owner went away, the thread is asked to quit,
// or the owner stayed out of sight too long.
bool CSiteConsentDialog::WaitForOwner() const {
    if (owner_ == nullptr) {
        return true;
    }
    const DWORD start = GetTickCount();
    for (;;) {
        if (!IsWindow(owner_)) {
            return false;
        }
        if (IsWindowVisible(owner_) && !IsIconic(GetAncestor(owner_, GA_ROOT))) {
            return true;
        }
        const DWORD waited = GetTickCount() - start;
        if (waited >= ownerWaitMs_) {
            return false;
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, std::min(kOwnerPollMs, ownerWaitMs_ - waited),
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(int(message.wParam)); // for the loop that called us
                return false;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

bool CSiteConsentDialog::AlwaysTicked() const {
    return offerAlways_ && IsDlgButtonChecked(GetSafeHwnd(), IDC_CONSENT_ALWAYS) == BST_CHECKED;
}

BOOL CSiteConsentDialog::OnInitDialog() {
    CDialog::OnInitDialog();
    HWND box = GetDlgItem(IDC_CONSENT_ORIGIN);
    SetWindowTextW(box, Fitted(box, origin_).c_str());
    if (!offerAlways_) {
        ShowWindow(GetDlgItem(IDC_CONSENT_ALWAYS), SW_HIDE);
    }
    HoldAnswers();
    // A dialog that cannot screen its input would take whatever the page makes the user press.
    if (!StartScreening()) {
        EndDialog(-1);
    }
    return FALSE;
}

void CSiteConsentDialog::OnDestroy() {
    KillTimer(GetSafeHwnd(), kOpenAnswersTimer);
    StopScreening();
}

bool CSiteConsentDialog::StartScreening() noexcept {
    if (!SetPropW(GetSafeHwnd(), kScreenedProperty, this)) {
        return false;
    }
    if (t_screen.dialogs == 0) {
        t_screen.hook =
            SetWindowsHookExW(WH_GETMESSAGE, &ScreenInput, nullptr, GetCurrentThreadId());
        if (t_screen.hook == nullptr) {
            RemovePropW(GetSafeHwnd(), kScreenedProperty);
            return false;
        }
    }
    ++t_screen.dialogs;
    screening_ = true;
    return true;
}

void CSiteConsentDialog::StopScreening() noexcept {
    if (!screening_) {
        return;
    }
    screening_ = false;
    RemovePropW(GetSafeHwnd(), kScreenedProperty);
    if (--t_screen.dialogs == 0) {
        UnhookWindowsHookEx(t_screen.hook);
        t_screen.hook = nullptr;
    }
}

// Runs inside GetMessage and PeekMessage, before any loop (the dialog's own, a nested one that a
// page's script runs, a message box's) can hand the message to IsDialogMessage or dispatch it.
LRESULT CALLBACK CSiteConsentDialog::ScreenInput(int code, WPARAM removing, LPARAM message) {
    if (code == HC_ACTION && (removing & PM_REMOVE) != 0 && message != 0) {
        auto& taken = *reinterpret_cast<MSG*>(message);
        HWND root = taken.hwnd != nullptr ? GetAncestor(taken.hwnd, GA_ROOT) : nullptr;
        auto* dialog = root != nullptr
                           ? static_cast<CSiteConsentDialog*>(GetPropW(root, kScreenedProperty))
                           : nullptr;
        if (dialog != nullptr && !dialog->Admits(taken)) {
            taken.message = WM_NULL;
            taken.wParam = 0;
            taken.lParam = 0;
        }
    }
    return CallNextHookEx(nullptr, code, removing, message);
}

bool CSiteConsentDialog::Admits(const MSG& message) noexcept {
    // A key that went down on the dialog and is still down repeats, whether or not the system
    // marks it as a repeat (injected input often does not).
    const size_t key = size_t(message.wParam & 0xFF);
    if (message.message == WM_KEYUP || message.message == WM_SYSKEYUP) {
        keysDown_.reset(key);
        return true;
    }
    Press press = PressOf(message);
    if (press == Press::None) {
        return true;
    }
    if (press == Press::Key && keysDown_.test(key)) {
        press = Press::Repeat;
    }
    if (press == Press::Key || press == Press::Repeat) {
        keysDown_.set(key);
    }
    // Message times say when the user pressed, however late a busy thread takes the message.
    const bool quiet = !pressed_ || AtLeastAfter(message.time, lastPress_, GetDoubleClickTime());
    pressed_ = true;
    lastPress_ = message.time;
    if (answersHeld_) {
        // Only input after a quiet pause counts: the pause starts again.
        SetTimer(GetSafeHwnd(), kOpenAnswersTimer, answerDelayMs_, nullptr);
        return press == Press::Frame; // the caption still moves the dialog, the close box closes it
    }
    if (press == Press::Frame) {
        return true;
    }
    return press != Press::Repeat && quiet && AtLeastAfter(message.time, openedAt_, 0);
}

void CSiteConsentDialog::HoldAnswers() {
    answersHeld_ = true;
    keysDown_.reset(); // keys let go while another window was active went up elsewhere
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
    openedAt_ = GetTickCount();
    for (int answer : kAnswers) {
        EnableWindow(GetDlgItem(answer), answer != IDC_CONSENT_ALWAYS || offerAlways_);
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
    if (code != BN_CLICKED) {
        return CDialog::OnCommand(id, code, control);
    }
    switch (id) {
    case IDC_CONSENT_ALWAYS:
        // A tick answers nothing; it changes what Allow will answer.
        if (!answersHeld_ && offerAlways_) {
            CheckDlgButton(GetSafeHwnd(), id, AlwaysTicked() ? BST_UNCHECKED : BST_CHECKED);
        }
        return true;
    case IDC_CONSENT_ALLOW:
        if (!answersHeld_) {
            EndDialog(AlwaysTicked() ? IDC_CONSENT_ALWAYS : IDC_CONSENT_ALLOW);
        }
        return true;
    case IDC_CONSENT_DENY:
    case IDOK: // Enter: the default button
        if (!answersHeld_) {
            EndDialog(IDC_CONSENT_DENY);
        }
        return true;
    default:
        return CDialog::OnCommand(id, code, control);
    }
}
