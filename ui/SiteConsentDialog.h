// The site consent dialog: asks the user whether the site a page comes from may use Quillmark.
// It names the site's origin as the object's site reported it (never text from the page) and
// offers three answers; Deny is the default button, so Enter refuses.
//
//     CSiteConsentDialog dialog(L"https://bank.example", owner);
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
    CSiteConsentDialog(std::wstring origin, HWND owner) noexcept;

    // Runs the dialog modally and reads its ending as an answer.
    ConsentAnswer Ask() { return AnswerOf(DoModal()); }
    static ConsentAnswer AnswerOf(INT_PTR ended);

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id, WORD code, HWND control) override;

private:
    std::wstring origin_;
};
