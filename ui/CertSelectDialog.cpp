#include "ui/CertSelectDialog.h"

#include "external/store.h"
#include "platform/StringConversion.h"
#include "ui/CertRows.h"
#include "ui/resource.h"

#include <cstring>
#include <memory>
#include <string_view>

namespace {

char* CopyOf(const char* text) {
    size_t length = std::strlen(text);
    auto copy = std::make_unique<char[]>(length + 1);
    std::memcpy(copy.get(), text, length + 1);
    return copy.release();
}

constexpr int kUserColumnWidth = 120;
constexpr int kIssuerColumnWidth = 85;
constexpr int kDateColumnWidth = 85;

} // namespace

CCertSelectDialog::CCertSelectDialog(const char* filterText, int32_t storeKind, int32_t listMode,
                                     HWND parent) noexcept
    : CDialog(IDD_CERT_SELECT, parent), filter(filterText != nullptr ? filterText : ""),
      kind(storeKind), mode(listMode) {}

CCertSelectDialog::~CCertSelectDialog() {
    delete[] selectedDn;
    ReleaseResult();
}

void CCertSelectDialog::ReleaseResult() noexcept {
    qm::ReleaseStoreBlock(result.data);
    result = ByteBuffer{0, nullptr};
}

void CCertSelectDialog::DoDataExchange(CDataExchange& dx) {
    CDialog::DoDataExchange(dx);
    dx.Control(IDC_CERT_LIST, list);
    dx.Text(IDC_DN_EDIT, selectedDnText);
}

BOOL CCertSelectDialog::OnInitDialog() {
    CDialog::OnInitDialog();
    constexpr UINT kColumnMask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    // The headings in the ANSI code page, which the list view's "A" messages expect.
    list.AddColumn(0, qm::Utf16ToAnsi(L"사용자").c_str(), -1, kColumnMask, LVCFMT_LEFT);
    list.AddColumn(1, qm::Utf16ToAnsi(L"발급기관").c_str(), -1, kColumnMask, LVCFMT_LEFT);
    list.AddColumn(2, qm::Utf16ToAnsi(L"만료일").c_str(), -1, kColumnMask, LVCFMT_LEFT);
    list.SetExtendedStyle(list.GetExtendedStyle() | LVS_EX_FULLROWSELECT);
    Fill(filter, 0);
    return TRUE;
}

void CCertSelectDialog::EnableConfirm(bool enable) {
    if (HWND button = GetDlgItem(IDC_CONFIRM)) {
        EnableWindow(button, enable ? TRUE : FALSE);
    }
}

void CCertSelectDialog::Fill(const char* filterText, int32_t storeMedium) {
    EnableConfirm(false);
    SetDlgItemTextA(GetSafeHwnd(), IDC_DN_EDIT, "");
    list.ClearRows();

    // Zeroed, so that a record the store leaves unwritten reads as empty DNs.
    auto area = std::make_unique<CertInfoRecord[]>(qm::kMaxListEntries);
    const StoreApi& store = qm::Store();
    int32_t count = 0;
    if (mode == kModeOwnKeys) {
        count = store.LD_GetKeyInfo(kind, area.get(), storeMedium, siteCode, qm::kStorePassword);
    } else if (mode == kModeCertificates) {
        count = store.LD_GetCertInfo(kind, area.get(), siteCode);
    }
    // The binding cuts the count to the area's 30 records; 0 or less lists nothing.
    int row = 0;
    for (int32_t i = 0; i < count; ++i) {
        Admit(area[size_t(i)], filterText, row);
    }
    list.SetColumnWidth(0, kUserColumnWidth);
    list.SetColumnWidth(1, kIssuerColumnWidth);
    list.SetColumnWidth(2, kDateColumnWidth);

    if (count > 0) {
        list.SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
        UpdateSelection();
    } else {
        EnableConfirm(false);
    }
    area.reset();
    UpdateData(false);
}

void CCertSelectDialog::Admit(const CertInfoRecord& record, const char* filterText, int& row) {
    qm::ui::CertRowText texts;
    if (!qm::ui::AdmitRecord(record, filterText, texts)) {
        return;
    }
    if (list.SetRowText(row, 0, texts.user, -1) != row) {
        return;
    }
    list.SetRowText(row, 1, texts.issuer, -1);
    list.SetRowText(row, 2, texts.expiry, -1);
    // A row that cannot keep its DN could never be confirmed: it is not shown at all.
    size_t length = strnlen(record.subjectDN, sizeof(record.subjectDN));
    if (!list.SetRowDn(row, record.subjectDN, length)) {
        list.DeleteItem(row);
        return;
    }
    ++row;
}

bool CCertSelectDialog::UpdateSelection() {
    selectedRow = list.GetNextItem(-1, LVNI_SELECTED);
    const char* dn = selectedRow >= 0 ? list.RowDn(selectedRow) : nullptr;
    if (dn == nullptr) {
        // Nothing that OK could confirm. The previous DN copy stays, unused, until the next
        // selection or the dialog's end.
        EnableConfirm(false);
        selectedDnText.clear();
        SetDlgItemTextA(GetSafeHwnd(), IDC_DN_EDIT, "");
        return false;
    }
    EnableConfirm(true);
    char* copy = CopyOf(dn);
    delete[] selectedDn;
    selectedDn = copy;
    selectedDnText = selectedDn;
    UpdateData(false);
    return true;
}

void CCertSelectDialog::Confirm() {
    // OK is only ever enabled with a row selected; Enter or a command sent while it is disabled
    // confirms nothing.
    HWND button = GetDlgItem(IDC_CONFIRM);
    if (button == nullptr || !IsWindowEnabled(button) || selectedDn == nullptr) {
        return;
    }
    ReleaseResult();
    result.data = qm::NewStoreBlock();
    ByteBuffer output{0, result.data};
    const StoreApi& store = qm::Store();
    int32_t status = -1;
    if (mode == kModeCertificates) {
        status = store.LD_GetCert(selectedDn, kind, &output);
    } else if (mode == kModeOwnKeys) {
        status = store.LD_GetMyCert(selectedDn, kind, medium, qm::kDefaultSiteCode,
                                    qm::kStorePassword, &output);
    }
    // The binding vouches that a success wrote within this block; an empty one is no certificate.
    bool delivered = status == 0 && output.length > 0;
    if (delivered) {
        result.length = output.length;
    } else {
        ReleaseResult();
    }
    // Ends with IDOK even without a certificate: the creator finds the result empty.
    CDialog::OnOK();
}

void CCertSelectDialog::OnOK() {
    Confirm();
}

bool CCertSelectDialog::OnCommand(WORD id, WORD code, HWND control) {
    if (code == BN_CLICKED && id == IDC_CONFIRM) {
        Confirm();
        return true;
    }
    if (code == BN_CLICKED && id == IDC_CANCEL_BUTTON) {
        EndDialog(IDCANCEL);
        return true;
    }
    return CDialog::OnCommand(id, code, control);
}

bool CCertSelectDialog::OnNotify(const NMHDR& header, LRESULT& answer) {
    if (header.idFrom != IDC_CERT_LIST) {
        return false;
    }
    if (header.code == NM_CLICK) {
        UpdateSelection();
        answer = 0;
        return true;
    }
    if (header.code == LVN_ITEMCHANGED) {
        UpdateSelection();
        answer = 0;
        return true;
    }
    return false;
}

void CCertSelectDialog::OnDestroy() {
    list.ClearRows();
    list.Detach();
    CDialog::OnDestroy();
}
