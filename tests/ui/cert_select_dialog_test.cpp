// The selection dialog as a person meets it: the real Win32 dialog under the Xvfb display, driven
// from a second thread, over a store double that lists exact records.
#include "tests/support/store_double.h"
#include "platform/StringConversion.h"
#include "tests/ui/driver.h"
#include "ui/CertSelectDialog.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

using qmtest::Record;
using uitest::LocalNoon;
using uitest::Row;
using uitest::RunDriven;

namespace {

constexpr int32_t kCertificates = CCertSelectDialog::kModeCertificates;
constexpr int32_t kOwnKeys = CCertSelectDialog::kModeOwnKeys;

std::vector<uint8_t> Der(const std::string& marker) {
    std::string text = "\x30\x82\x01\x2a" + marker;
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> Bytes(ByteBuffer buffer) {
    return buffer.data != nullptr ? std::vector<uint8_t>(buffer.data, buffer.data + buffer.length)
                                  : std::vector<uint8_t>();
}

// What the dialog showed when it came up.
struct Shown {
    std::vector<Row> rows;
    int selected = -2;
    std::string dn;
    bool ok = false;
};

Shown Look(HWND dialog) {
    return Shown{uitest::Rows(dialog), uitest::SelectedRow(dialog), uitest::DnBox(dialog),
                 uitest::OkEnabled(dialog)};
}

// What the dialog over the records that `filter` admits showed when it came up; then Cancel.
Shown LookAndCancel(const char* filter) {
    Shown shown;
    CCertSelectDialog dialog(filter, 1, kCertificates);
    RunDriven(dialog, [&](HWND window) {
        shown = Look(window);
        uitest::ClickButton(window, IDC_CANCEL_BUTTON);
    });
    return shown;
}

// A record of a user of the first CA, whose certificate expires at the start of 2030.
CertInfoRecord UserRecord(const std::string& subject) {
    return Record(subject, "cn=CA1", LocalNoon(2030, 1, 1));
}

class CertSelectDialogTest : public ::testing::Test {
protected:
    // Only the DNs that a test names in `store.certificates` can be read.
    CertSelectDialogTest() { store.myCert.result = store.cert.result = store.key.result = -1; }

    qmtest::StoreDouble store;
    qmtest::ScopedStoreDouble binding{store};
};

// Template 201 as the resource compiler laid it out (a DLGTEMPLATE with its items).
struct TemplateItem {
    DWORD style;
    short x, y, cx, cy;
    WORD id;
    std::wstring type; // a class name, or "#130" for a predefined class atom
    std::wstring text; // a text, or "#203" for a resource ordinal
};
struct Template {
    DWORD style = 0;
    short cx = 0, cy = 0;
    std::wstring caption, face;
    WORD points = 0;
    std::vector<TemplateItem> items;
};

std::wstring NameOrOrdinal(const WORD*& at) {
    if (*at == 0xFFFF) {
        at += 2;
        return L"#" + std::to_wstring(at[-1]);
    }
    std::wstring name(reinterpret_cast<const wchar_t*>(at));
    at += name.size() + 1;
    return name;
}

Template ReadTemplate(HMODULE module, int id) {
    Template t;
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5)); // RT_DIALOG
    if (found == nullptr) {
        return t;
    }
    const auto* head = static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(module, found)));
    t.style = head->style;
    t.cx = head->cx;
    t.cy = head->cy;
    const WORD* at = reinterpret_cast<const WORD*>(head + 1);
    NameOrOrdinal(at); // menu
    NameOrOrdinal(at); // class
    t.caption = NameOrOrdinal(at);
    if (t.style & DS_SETFONT) {
        t.points = *at++;
        t.face = NameOrOrdinal(at);
    }
    for (int i = 0; i < head->cdit; ++i) {
        at = reinterpret_cast<const WORD*>((reinterpret_cast<uintptr_t>(at) + 3) & ~uintptr_t(3));
        const auto* item = reinterpret_cast<const DLGITEMTEMPLATE*>(at);
        TemplateItem entry{item->style, item->x, item->y, item->cx, item->cy, item->id, {}, {}};
        at = reinterpret_cast<const WORD*>(item + 1);
        entry.type = NameOrOrdinal(at);
        entry.text = NameOrOrdinal(at);
        WORD extra = *at++;
        at = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(at) + extra);
        t.items.push_back(entry);
    }
    return t;
}

// The controls as drawn up: their styles without WS_CHILD and WS_VISIBLE, and their classes as
// '|'-separated spellings (the predefined class's atom or its name).
const TemplateItem kControls[] = {
    {SS_BITMAP, 7, 7, 212, 40, WORD(IDC_STATIC), L"#130|Static", L"#203"},
    {SS_CENTER | SS_CENTERIMAGE | WS_GROUP, 7, 43, 208, 15, WORD(IDC_STATIC), L"#130|Static",
     L"인증서를 선택하십시요."},
    {LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_ALIGNLEFT | LVS_NOSORTHEADER | WS_BORDER |
         WS_TABSTOP,
     7, 67, 208, 70, IDC_CERT_LIST, L"SysListView32", L"List1"},
    {ES_MULTILINE | ES_AUTOHSCROLL | ES_READONLY | WS_BORDER, 7, 137, 208, 13, IDC_DN_EDIT,
     L"#129|Edit", L""},
    {BS_DEFPUSHBUTTON | WS_TABSTOP, 32, 188, 50, 18, IDC_CONFIRM, L"#128|Button", L"확인"},
    {BS_PUSHBUTTON | WS_TABSTOP, 138, 188, 50, 18, IDC_CANCEL_BUTTON, L"#128|Button", L"취소"},
};

// Whether `type` is one of the '|'-separated spellings, ignoring case as the window manager does.
bool SameClass(const std::wstring& type, const std::wstring& spellings) {
    std::wstring one = L"|" + type + L"|", all = L"|" + spellings + L"|";
    CharUpperW(one.data());
    CharUpperW(all.data());
    return all.find(one) != all.npos;
}

} // namespace

TEST(CertSelectTemplate, IsLaidOutAsDrawnUp) {
    Template t = ReadTemplate(DialogResourceModule(), IDD_CERT_SELECT);
    EXPECT_EQ(t.style, DWORD(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT));
    EXPECT_EQ(t.cx, 222);
    EXPECT_EQ(t.cy, 215);
    EXPECT_EQ(t.caption, L"인증서 선택(v1,0,0,1)");
    EXPECT_EQ(t.points, 9);
    EXPECT_EQ(t.face, L"굴림체");
    ASSERT_EQ(t.items.size(), std::size(kControls));
    for (size_t i = 0; i < t.items.size(); ++i) {
        SCOPED_TRACE(i);
        const TemplateItem& item = t.items[i];
        const TemplateItem& e = kControls[i];
        EXPECT_EQ(item.id, e.id);
        EXPECT_TRUE(SameClass(item.type, e.type))
            << std::string(item.type.begin(), item.type.end());
        EXPECT_EQ(item.text, e.text);
        EXPECT_EQ(item.style, e.style | WS_CHILD | WS_VISIBLE);
        EXPECT_EQ(item.x, e.x);
        EXPECT_EQ(item.y, e.y);
        EXPECT_EQ(item.cx, e.cx);
        EXPECT_EQ(item.cy, e.cy);
    }
    // The banner is the picture this template names.
    BITMAP banner{};
    HBITMAP image = LoadBitmapW(DialogResourceModule(), MAKEINTRESOURCEW(IDB_CERT_BANNER));
    ASSERT_NE(image, nullptr);
    GetObjectW(image, sizeof(banner), &banner);
    DeleteObject(image);
    EXPECT_GT(banner.bmWidth, 0);
}

// The resources this program links are the ones Quillmark.dll carries.
TEST(CertSelectTemplate, QuillmarkDllCarriesTheSameTemplateAndBanner) {
    const char* path = std::getenv("QM_QUILLMARK");
    if (path == nullptr || path[0] == '\0') {
        GTEST_SKIP() << "QM_QUILLMARK names no Quillmark.dll";
    }
    HMODULE dll = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(dll, nullptr) << path;
    auto bytes = [](HMODULE module, int id, int type) {
        HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
        if (found == nullptr) {
            return std::string();
        }
        const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
        return std::string(data, SizeofResource(module, found));
    };
    // The template (RT_DIALOG) and the banner (RT_BITMAP).
    for (auto [id, type] : {std::pair{IDD_CERT_SELECT, 5}, std::pair{IDB_CERT_BANNER, 2}}) {
        std::string carried = bytes(dll, id, type);
        EXPECT_FALSE(carried.empty()) << id;
        EXPECT_EQ(carried, bytes(DialogResourceModule(), id, type)) << id;
    }
    FreeLibrary(dll);
}

TEST_F(CertSelectDialogTest, ShowsTheTemplateTextsAtTheirPlaces) {
    struct Seen {
        int id;
        std::wstring type, text;
        RECT at;     // client pixels
        RECT mapped; // the template's x, y, cx, cy through the dialog's base units
    };
    std::wstring caption;
    RECT client{}, mappedClient{0, 0, 222, 215};
    std::vector<Seen> controls;
    CCertSelectDialog dialog("", 1, kCertificates);
    auto run = RunDriven(dialog, [&](HWND window) {
        caption = uitest::TextOf(window);
        GetClientRect(window, &client);
        MapDialogRect(window, &mappedClient);
        size_t index = 0;
        for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT), ++index) {
            wchar_t type[200] = {};
            GetClassNameW(child, type, 200);
            Seen c{GetDlgCtrlID(child), type, uitest::TextOf(child), {}, {}};
            GetWindowRect(child, &c.at);
            MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&c.at), 2);
            if (index < std::size(kControls)) {
                const TemplateItem& e = kControls[index];
                c.mapped = RECT{e.x, e.y, e.cx, e.cy};
                MapDialogRect(window, &c.mapped);
            }
            controls.push_back(c);
        }
        uitest::ClickButton(window, IDC_CANCEL_BUTTON);
    });
    ASSERT_TRUE(run.showed);
    EXPECT_EQ(run.ended, IDCANCEL);
    EXPECT_EQ(caption, L"인증서 선택(v1,0,0,1)");
    EXPECT_EQ(client.right, mappedClient.right);
    EXPECT_EQ(client.bottom, mappedClient.bottom);

    ASSERT_EQ(controls.size(), std::size(kControls));
    for (size_t i = 0; i < controls.size(); ++i) {
        SCOPED_TRACE(i);
        const Seen& c = controls[i];
        EXPECT_EQ(LOWORD(c.id), kControls[i].id);
        EXPECT_TRUE(SameClass(c.type, kControls[i].type));
        if (i > 0 && i != 2) { // the banner shows a picture; a list view keeps no window text
            EXPECT_EQ(c.text, kControls[i].text);
        }
        EXPECT_EQ(c.at.left, c.mapped.left);
        EXPECT_EQ(c.at.top, c.mapped.top);
        // The banner static takes its picture's size, which is drawn to these units.
        EXPECT_EQ(c.at.right - c.at.left, c.mapped.right);
        EXPECT_EQ(c.at.bottom - c.at.top, c.mapped.bottom);
    }
}

TEST_F(CertSelectDialogTest, ListsAdmittedRecordsWithUserIssuerAndDate) {
    store.records = {
        Record("cn=Kim,ou=x", "cn=CA1,o=y", LocalNoon(2004, 3, 9)),
        Record("CN=Lee,ou=x", "cn=CA1,o=y", LocalNoon(2005, 1, 1)),
        Record(qm::Utf16ToAnsi(L"cn=홍길동,ou=개발부,c=KR"), qm::Utf16ToAnsi(L"cn=퀼마크 CA,c=KR"),
               LocalNoon(2030, 12, 1)),
        Record("ou=x,cn=" + std::string(100, 'L'), "cn=CA2", LocalNoon(2031, 7, 20)),
    };
    std::vector<std::string> headings;
    std::vector<int> widths;
    Shown shown;
    CCertSelectDialog dialog("", 1, kCertificates);
    auto run = RunDriven(dialog, [&](HWND window) {
        shown = Look(window);
        for (int column = 0; column < 3; ++column) {
            headings.push_back(uitest::ListHeading(window, column));
            widths.push_back(uitest::ColumnWidth(window, column));
        }
        uitest::ClickButton(window, IDC_CANCEL_BUTTON);
    });
    ASSERT_TRUE(run.showed);
    EXPECT_EQ(run.ended, IDCANCEL);
    EXPECT_EQ(headings,
              (std::vector<std::string>{qm::Utf16ToAnsi(L"사용자"), qm::Utf16ToAnsi(L"발급기관"),
                                        qm::Utf16ToAnsi(L"만료일")}));
    EXPECT_EQ(widths, (std::vector<int>{120, 85, 85}));
    const std::vector<Row> expected{
        {"Kim", "CA1", "2004-03-09"},
        {qm::Utf16ToAnsi(L"홍길동"), qm::Utf16ToAnsi(L"퀼마크 CA"), "2030-12-01"},
        {std::string(64, 'L'), "CA2", "2031-07-20"},
    };
    EXPECT_EQ(shown.rows, expected);
    EXPECT_EQ(shown.selected, 0);
    EXPECT_EQ(shown.dn, "cn=Kim,ou=x");
    EXPECT_TRUE(shown.ok);
    ASSERT_EQ(store.calls.size(), 1u); // listed once, nothing read on Cancel
    EXPECT_EQ(store.calls[0].function, "LD_GetCertInfo");
    EXPECT_EQ(store.calls[0].kind, 1);
    EXPECT_EQ(store.calls[0].siteCode, 0);
    EXPECT_EQ(dialog.GetResult().length, 0);
    EXPECT_EQ(dialog.GetResult().data, nullptr);
}

TEST_F(CertSelectDialogTest, FilterListsOnlyTheRecordWithThatExactDn) {
    store.records = {UserRecord("cn=Kim,ou=x"), UserRecord("cn=Kim,ou=x,o=y"),
                     Record("cn=Park,ou=x", "cn=CA2", LocalNoon(2030, 1, 2))};
    Shown matched = LookAndCancel("cn=Park,ou=x");
    EXPECT_EQ(matched.rows, (std::vector<Row>{{"Park", "CA2", "2030-01-02"}}));
    EXPECT_EQ(matched.dn, "cn=Park,ou=x");
    Shown none = LookAndCancel("cn=Kim");
    EXPECT_TRUE(none.rows.empty());
    EXPECT_FALSE(none.ok);
}

TEST_F(CertSelectDialogTest, LosingTheSelectionDisablesOkAndRegainingItShowsTheNewDn) {
    store.records = {UserRecord("cn=Kim,ou=x"), UserRecord("cn=Lee,ou=x"),
                     UserRecord("cn=Park,ou=x")};
    store.certificates["cn=Lee,ou=x"] = Der("Lee");
    std::vector<Shown> seen; // lost, regained, clicked (a mouse click), lost again, chosen
    CCertSelectDialog dialog("", 1, kCertificates);
    auto run = RunDriven(dialog, [&](HWND window) {
        uitest::ClearSelection(window);
        seen.push_back(Look(window));
        uitest::SelectRow(window, 2);
        seen.push_back(Look(window));
        uitest::ClickRow(window, 0);
        qmtest::Eventually([&] { return uitest::SelectedRow(window) == 0; });
        seen.push_back(Look(window));
        uitest::ClearSelection(window);
        seen.push_back(Look(window));
        uitest::SelectRow(window, 1);
        seen.push_back(Look(window));
        uitest::ClickButton(window, IDC_CONFIRM);
    });
    ASSERT_TRUE(run.showed);
    const std::tuple<int, std::string, bool> expected[] = {{-1, "", false},
                                                           {2, "cn=Park,ou=x", true},
                                                           {0, "cn=Kim,ou=x", true},
                                                           {-1, "", false},
                                                           {1, "cn=Lee,ou=x", true}};
    ASSERT_EQ(seen.size(), std::size(expected));
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(std::tie(seen[i].selected, seen[i].dn, seen[i].ok), expected[i]);
    }

    EXPECT_EQ(run.ended, IDOK);
    EXPECT_EQ(Bytes(dialog.GetResult()), Der("Lee"));
    ASSERT_EQ(store.calls.size(), 2u);
    EXPECT_EQ(store.calls[1].function, "LD_GetCert");
    EXPECT_EQ(store.calls[1].dn, "cn=Lee,ou=x");
    EXPECT_EQ(store.calls[1].kind, 1);
}

TEST_F(CertSelectDialogTest, OkOnACertificateTheStoreCannotReadEndsWithOkAndNoResult) {
    store.records = {UserRecord("cn=Kim,ou=x")};
    CCertSelectDialog dialog("", 1, kCertificates);
    auto run = RunDriven(dialog, uitest::Clicking({IDC_CONFIRM}));
    EXPECT_EQ(run.ended, IDOK);
    EXPECT_EQ(dialog.GetResult().length, 0);
    EXPECT_EQ(dialog.GetResult().data, nullptr);
    ASSERT_EQ(store.calls.size(), 2u);
    EXPECT_EQ(store.calls[1].dn, "cn=Kim,ou=x");
}

TEST_F(CertSelectDialogTest, OkKeepsACertificateOnlyWithinTheBlockTheStoreWasGiven) {
    store.records = {UserRecord("cn=Kim,ou=x")};
    store.certificates["cn=Kim,ou=x"] = Der("Kim");
    for (int32_t mode : {kCertificates, kOwnKeys}) {
        for (int32_t reported : {-1, 0, qm::kStoreBlockSize, qm::kStoreBlockSize + 1, INT_MAX}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", length " + std::to_string(reported));
            store.myCert.reportedLength = store.cert.reportedLength = reported;
            CCertSelectDialog dialog("", 1, mode);
            auto run = RunDriven(dialog, uitest::Clicking({IDC_CONFIRM}));
            EXPECT_EQ(run.ended, IDOK);
            if (reported > 0 && reported <= qm::kStoreBlockSize) {
                std::vector<uint8_t> expected = Der("Kim");
                expected.resize(size_t(reported));
                EXPECT_EQ(Bytes(dialog.GetResult()), expected);
            } else {
                EXPECT_EQ(dialog.GetResult().length, 0);
                EXPECT_EQ(dialog.GetResult().data, nullptr);
            }
        }
    }
    // A store that hands back a block of its own: nothing of it is kept, freed or wiped.
    static uint8_t storesOwn[64];
    store.myCert.reportedLength = store.cert.reportedLength = std::nullopt;
    store.handBack = storesOwn;
    CCertSelectDialog dialog("", 1, kCertificates);
    auto run = RunDriven(dialog, uitest::Clicking({IDC_CONFIRM}));
    EXPECT_EQ(run.ended, IDOK);
    EXPECT_EQ(dialog.GetResult().data, nullptr);
}

TEST_F(CertSelectDialogTest, OwnKeysAreListedAndReadWithTheKeyFunctions) {
    store.records = {UserRecord("cn=Me,ou=x")};
    store.certificates["cn=Me,ou=x"] = Der("Me");
    CCertSelectDialog dialog("", 0, kOwnKeys);
    auto run = RunDriven(dialog, [&](HWND window) { uitest::PressKey(window, VK_RETURN); });
    EXPECT_EQ(run.ended, IDOK); // Enter confirms the selected row
    EXPECT_EQ(Bytes(dialog.GetResult()), Der("Me"));
    ASSERT_EQ(store.calls.size(), 2u);
    EXPECT_EQ(store.calls[0].function, "LD_GetKeyInfo");
    EXPECT_EQ(store.calls[0].kind, 0);
    EXPECT_EQ(store.calls[0].medium, 0);
    EXPECT_EQ(store.calls[0].siteCode, 0);
    EXPECT_EQ(store.calls[0].password, "5821");
    EXPECT_EQ(store.calls[1].function, "LD_GetMyCert");
    EXPECT_EQ(store.calls[1].dn, "cn=Me,ou=x");
    EXPECT_EQ(store.calls[1].medium, 0);
    EXPECT_EQ(store.calls[1].siteCode, 700);
    EXPECT_EQ(store.calls[1].password, "5821");
}

TEST_F(CertSelectDialogTest, CancelEscapeAndTheCloseBoxEndWithCancel) {
    store.records = {UserRecord("cn=Kim,ou=x")};
    store.certificates["cn=Kim,ou=x"] = Der("Kim");
    const std::pair<const char*, std::function<void(HWND)>> endings[] = {
        {"Cancel button", uitest::Clicking({IDC_CANCEL_BUTTON})},
        {"Escape", [](HWND w) { uitest::PressKey(w, VK_ESCAPE); }},
        {"close box", [](HWND w) { uitest::CloseBox(w); }},
    };
    for (const auto& [how, script] : endings) {
        SCOPED_TRACE(how);
        CCertSelectDialog dialog("", 1, kCertificates);
        auto run = RunDriven(dialog, script);
        EXPECT_TRUE(run.showed);
        EXPECT_FALSE(run.forced);
        EXPECT_EQ(run.ended, IDCANCEL);
        EXPECT_EQ(dialog.GetResult().data, nullptr);
    }
    for (const auto& call : store.calls) {
        EXPECT_NE(call.function, "LD_GetCert");
    }
}

TEST_F(CertSelectDialogTest, AnEmptyStoreLeavesOnlyCancel) {
    for (int32_t reported : {0, -7}) {
        SCOPED_TRACE(reported);
        store.reportedCount = reported;
        store.calls.clear();
        Shown shown;
        CCertSelectDialog dialog("", 1, kCertificates);
        auto run = RunDriven(dialog, [&](HWND window) {
            shown = Look(window);
            // Enter and a click on the disabled OK confirm nothing; Escape, queued behind them,
            // is what ends the dialog.
            uitest::PressKey(window, VK_RETURN);
            uitest::ClickButton(window, IDC_CONFIRM);
            uitest::PressKey(window, VK_ESCAPE);
        });
        EXPECT_TRUE(shown.rows.empty());
        EXPECT_EQ(shown.selected, -1);
        EXPECT_FALSE(shown.ok);
        EXPECT_EQ(shown.dn, "");
        EXPECT_EQ(run.ended, IDCANCEL);
        EXPECT_EQ(store.calls.size(), 1u);
    }
}

TEST_F(CertSelectDialogTest, AtMostThirtyRecordsAreListed) {
    for (int i = 0; i < 30; ++i) {
        store.records.push_back(UserRecord("cn=User" + std::to_string(i) + ",ou=x"));
    }
    for (int32_t reported : {31, 45, INT_MAX}) { // more than the area holds
        SCOPED_TRACE(reported);
        store.reportedCount = reported;
        Shown shown = LookAndCancel("");
        ASSERT_EQ(shown.rows.size(), 30u);
        EXPECT_EQ(shown.rows[29][0], "User29");
        // Filling reached its end (a read past the area would have stopped it): row 0 is chosen.
        EXPECT_EQ(shown.selected, 0);
        EXPECT_TRUE(shown.ok);
        EXPECT_EQ(shown.dn, "cn=User0,ou=x");
    }
}

TEST_F(CertSelectDialogTest, EveryDnCopyIsReleased) {
    store.records = {UserRecord("cn=Kim,ou=x"), UserRecord("CN=Skipped,ou=x"),
                     UserRecord("cn=Lee,ou=x"), UserRecord("cn=Park,ou=x")};
    store.certificates["cn=Park,ou=x"] = Der("Park");
    long whileShown = -1, afterReselecting = -1, afterRun = -1;
    uitest::allocations::Start();
    {
        CCertSelectDialog dialog("", 1, kCertificates);
        auto run = RunDriven(dialog, [&](HWND window) {
            whileShown = uitest::allocations::Live();
            uitest::SelectRow(window, 1);
            uitest::ClearSelection(window);
            uitest::SelectRow(window, 2);
            afterReselecting = uitest::allocations::Live();
            uitest::ClickButton(window, IDC_CONFIRM);
        });
        EXPECT_EQ(run.ended, IDOK);
        afterRun = uitest::allocations::Live();
    }
    long afterDestruction = uitest::allocations::Live();
    uitest::allocations::Stop();
    EXPECT_EQ(whileShown, 3 + 1);       // a copy per row, and the selected DN's
    EXPECT_EQ(afterReselecting, 3 + 1); // each new selection replaces the old copy
    EXPECT_EQ(afterRun, 1 + 1);         // rows gone with the window; the DN and the result stay
    EXPECT_EQ(afterDestruction, 0);
}

TEST_F(CertSelectDialogTest, ADialogThatCannotBeCreatedEndsAtOnceWithMinusOne) {
    CDialog missing(999, nullptr);
    EXPECT_EQ(missing.DoModal(), -1);

    CCertSelectDialog orphan("", 1, kCertificates, reinterpret_cast<HWND>(0x7777));
    EXPECT_EQ(orphan.DoModal(), -1);
    EXPECT_TRUE(store.calls.empty());
}
