// The certificate selection dialog: a modal list of the store's certificates (user, issuer,
// expiry date) from which the user picks one; the chosen certificate's bytes are kept for the
// dialog's creator.
//
//     CCertSelectDialog dialog("", qm::kKindRecipient, 1, nullptr);
//     if (dialog.DoModal() == IDOK) {
//         ByteBuffer chosen = dialog.GetResult(); // still the dialog's: copy before it goes
//     }
//
// The store is reached through qm::Store() only.
#pragma once

#include "platform/abi.h"
#include "ui/CertListCtrl.h"
#include "ui/Dialog.h"

#include <cstdint>
#include <string>

class CCertSelectDialog : public CDialog {
public:
    // What the dialog lists and reads.
    static constexpr int32_t kModeOwnKeys = 0;      // LD_GetKeyInfo, then LD_GetMyCert
    static constexpr int32_t kModeCertificates = 1; // LD_GetCertInfo, then LD_GetCert

    // `filter`: empty or null lists every certificate; otherwise only the one whose subject DN
    // equals it. The caller keeps the text alive while the dialog runs. `kind` is handed to the
    // store unchanged. `parent` may be null.
    CCertSelectDialog(const char* filter, int32_t kind, int32_t mode,
                      HWND parent = nullptr) noexcept;
    ~CCertSelectDialog() override;

    // DoModal (inherited) ends with IDOK (1) after OK, IDCANCEL (2) after Cancel, the close box or
    // Escape, and -1 when the dialog cannot be created.

    // The chosen certificate's DER bytes: length 0 and no data unless the run ended with IDOK and
    // the store delivered the certificate. The dialog keeps owning the data.
    ByteBuffer GetResult() const noexcept { return result; }

protected:
    void DoDataExchange(CDataExchange& dx) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    bool OnCommand(WORD id, WORD code, HWND control) override;
    bool OnNotify(const NMHDR& header, LRESULT& answer) override;
    void OnDestroy() override;

private:
    void Fill(const char* filterText, int32_t storeMedium);
    void Admit(const CertInfoRecord& record, const char* filterText, int& row);
    bool UpdateSelection();
    void Confirm();
    void EnableConfirm(bool enable);
    void ReleaseResult() noexcept;

    CCertListCtrl list;
    std::string selectedDnText; // bound to the DN box
    ByteBuffer result{0, nullptr};
    char* selectedDn = nullptr; // new[] copy of the last selected row's DN
    const char* filter;
    int32_t kind;
    int32_t mode;
    int32_t medium = 0;
    int32_t siteCode = 0;
    int32_t selectedRow = -1;
};
