// The site consent dialog: asks the user whether the site a page comes from may use Quillmark.
// It names the site's origin as the object's site reported it (never text from the page) and
// offers three answers; Deny is the default button, so Enter refuses.
//
// A page can open the dialog while the user types (from a keydown handler in its login form), so
// keys meant for the page must not answer it: the answers stay out of reach for a moment after
// the dialog comes up and again whenever it is activated, as browsers guard their permission
// prompts. "Allow always" is offered only for an origin with a host: any site can open a page of
// "ftp:" or "file:" and script it.
//
//     CSiteConsentDialog dialog(L"https://bank.example", owner, true);
//     switch (dialog.Ask()) { ... }
#pragma once

#include "ui/Dialog.h"

#include <string>

enum class ConsentAnswer {
    AllowAlways, // the origin joins the user's allowed sites
    AllowOnce,   // for the asking object's lifetime
    Deny,        // for the process's lifetime
    Dismissed,   // Escape or the close box: no answer
    NotShown,    // the dialog could not be created (no display, an owner that is gone)
};

class CSiteConsentDialog : public CDialog {
public:
    static constexpr UINT kAnswerDelayMs = 1000;

    CSiteConsentDialog(std::wstring origin, HWND owner, bool offerAlways,
                       UINT answerDelayMs = kAnswerDelayMs) noexcept;

    // Runs the dialog modally and reads its ending as an answer.
    ConsentAnswer Ask() { return AnswerOf(DoModal()); }
    static ConsentAnswer AnswerOf(INT_PTR ended);

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id, WORD code, HWND control) override;
    bool OnActivate(bool active) override;
    void OnTimer(UINT_PTR id) override;

private:
    void HoldAnswers();
    void OpenAnswers();
    bool Offers(int answer) const;

    std::wstring origin_;
    bool offerAlways_;
    UINT answerDelayMs_;
    bool answersHeld_ = true;
};
