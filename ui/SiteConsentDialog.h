// The site consent dialog: asks the user whether the site a page comes from may use Quillmark.
// It names the site's origin as the object's site reported it (never text from the page) and
// offers Allow and Deny; Deny is the default button, so Enter refuses. "Allow always" is a check
// box that turns Allow into allow-always, so that it is never the answer of one press at one place.
//
// A page can open the dialog while the user types or clicks (from a keydown handler in its login
// form, or a "click here fast" game under the spot where the dialog will come up), so input meant
// for the page must not answer it. As browsers guard their permission prompts:
// - the answers stay out of reach until a quiet second has passed after the dialog came up or was
//   activated; every mouse or key press that reaches the dialog meanwhile starts the second again;
// - once they are open, a press counts only when it began after they opened, is not a key's
//   auto-repeat, and does not follow the previous press within the system's double-click time;
// - for an owner window that is hidden or minimised (a page in a background tab), the dialog waits
//   until the owner is shown again before it comes up, and gives up after a while.
// "Allow always" is offered only for an origin with a host: any site can open a page of "ftp:" or
// "file:" and script it.
//
//     CSiteConsentDialog dialog(L"https://bank.example", owner, true);
//     switch (dialog.Ask()) { ... }
#pragma once

#include "ui/Dialog.h"

#include <bitset>
#include <string>

enum class ConsentAnswer {
    AllowAlways, // the origin joins the user's allowed sites
    AllowOnce,   // for the asking object's lifetime
    Deny,        // for the process's lifetime
    Dismissed,   // Escape or the close box: no answer
    NotShown, // the dialog could not come up (no display, an owner that is gone or stayed hidden)
};

class CSiteConsentDialog : public CDialog {
public:
    static constexpr UINT kAnswerDelayMs = 1000;
    static constexpr DWORD kOwnerWaitMs = 2 * 60 * 1000;

    CSiteConsentDialog(std::wstring origin, HWND owner, bool offerAlways,
                       UINT answerDelayMs = kAnswerDelayMs,
                       DWORD ownerWaitMs = kOwnerWaitMs) noexcept;

    // Waits for the owner to be shown, runs the dialog modally and reads its ending as an answer.
    ConsentAnswer Ask();
    static ConsentAnswer AnswerOf(INT_PTR ended);

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id, WORD code, HWND control) override;
    bool OnActivate(bool active) override;
    void OnTimer(UINT_PTR id) override;
    void OnDestroy() override;

private:
    // Sees every message that this thread takes from its queue, whichever loop takes it, and
    // turns a press that must not reach a consent dialog into WM_NULL.
    static LRESULT CALLBACK ScreenInput(int code, WPARAM removing, LPARAM message);
    // Whether the press (or other message) may go on to the dialog or its controls.
    bool Admits(const MSG& message) noexcept;
    bool StartScreening() noexcept;
    void StopScreening() noexcept;
    bool WaitForOwner() const;

    void HoldAnswers();
    void OpenAnswers();
    bool AlwaysTicked() const;

    std::wstring origin_;
    HWND owner_;
    bool offerAlways_;
    UINT answerDelayMs_;
    DWORD ownerWaitMs_;
    bool answersHeld_ = true;
    bool screening_ = false;
    bool pressed_ = false;      // a press has been seen since the dialog came up
    DWORD lastPress_ = 0;       // when the last press was made (message time)
    DWORD openedAt_ = 0;        // when the answers last opened
    std::bitset<256> keysDown_; // virtual keys that went down on the dialog and are not up yet
};
