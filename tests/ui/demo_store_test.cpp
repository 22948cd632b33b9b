// The dialog over the real certificate store (Ledra.dll) holding the store tool's demo PKI, and
// a picture of it for a person to look at. Run by CTest after the demo store has been made; the
// test run turns the picture (a BMP in the test's folder) into a PNG.
#include "tests/support/store_double.h"
#include "platform/StringConversion.h"
#include "tests/ui/driver.h"
#include "ui/CertSelectDialog.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

using uitest::Row;
using uitest::RunDriven;

namespace {

// Ledra.dll loaded from the path in QM_LEDRA, or what kept it from loading. The library is loaded
// once and kept, as Quillmark.dll keeps it (and as it keeps itself).
struct Ledra {
    StoreApi api{};
    std::string problem;
};

const Ledra& Loaded() {
    static const Ledra library = [] {
        Ledra library;
        const char* path = std::getenv("QM_LEDRA");
        if (path == nullptr || path[0] == '\0') {
            library.problem = "QM_LEDRA names no Ledra.dll";
            return library;
        }
        HMODULE module = LoadLibraryA(path);
        if (module == nullptr) {
            library.problem = std::string("cannot load ") + path + " (error " +
                              std::to_string(GetLastError()) + ")";
            return library;
        }
        bool all = true;
        qm::ForEachStoreFunction([&]<typename F>(F StoreApi::*slot, const char* name, auto) {
            FARPROC proc = GetProcAddress(module, name);
            library.api.*slot = reinterpret_cast<F>(reinterpret_cast<void*>(proc));
            all = all && proc != nullptr;
        });
        if (!all) {
            library.problem = "Ledra.dll lacks a function";
        }
        return library;
    }();
    return library;
}

// Ledra.dll bound as the dialog's store while the object lives.
class RealStore {
public:
    RealStore() {
        if (problem.empty()) {
            qm::BindStoreForTesting(&api);
        }
    }
    ~RealStore() { qm::BindStoreForTesting(nullptr); }

    const StoreApi& api = Loaded().api;
    const std::string& problem = Loaded().problem;
};

// The records that the store lists, as the dialog asks for them.
std::vector<CertInfoRecord> List(const StoreApi& api, int32_t kind, int32_t mode) {
    std::vector<CertInfoRecord> area(qm::kMaxListEntries);
    int32_t count = mode == CCertSelectDialog::kModeOwnKeys
                        ? api.LD_GetKeyInfo(kind, area.data(), 0, 0, qm::kStorePassword)
                        : api.LD_GetCertInfo(kind, area.data(), 0);
    area.resize(size_t(std::clamp<int32_t>(count, 0, qm::kMaxListEntries)));
    return area;
}

std::vector<uint8_t> Read(const StoreApi& api, const std::string& dn, int32_t kind, int32_t mode) {
    std::vector<uint8_t> block(qm::kStoreBlockSize);
    ByteBuffer output{0, block.data()};
    int32_t status = mode == CCertSelectDialog::kModeOwnKeys
                         ? api.LD_GetMyCert(dn.c_str(), kind, 0, qm::kDefaultSiteCode,
                                            qm::kStorePassword, &output)
                         : api.LD_GetCert(dn.c_str(), kind, &output);
    block.resize(status == 0 ? size_t(output.length) : 0);
    return block;
}

// Korean users as the demo store names them, for the picture when no demo store is there.
void KoreanDouble(qmtest::StoreDouble& store) {
    const wchar_t* issuer = L"cn=퀼마크 사용자 CA,o=퀼마크,c=KR";
    for (const wchar_t* user :
         {L"cn=홍길동,ou=개인,o=퀼마크,c=KR", L"cn=김영희,ou=개인,o=퀼마크,c=KR",
          L"cn=이철수,ou=개인,o=퀼마크,c=KR"}) {
        store.records.push_back(qmtest::Record(qm::Utf16ToAnsi(user), qm::Utf16ToAnsi(issuer),
                                               uitest::LocalNoon(2030, 3, 9)));
    }
}

// The dialog over the demo store; skipped when the store cannot be loaded.
class DemoStore : public ::testing::Test {
protected:
    void SetUp() override {
        if (!store.problem.empty()) {
            GTEST_SKIP() << store.problem;
        }
    }

    RealStore store;
};

} // namespace

TEST_F(DemoStore, ListsTheUsersOwnCertificatesAndReadsTheChosenOne) {
    auto listing = List(store.api, qm::kKindOwn, CCertSelectDialog::kModeOwnKeys);
    ASSERT_FALSE(listing.empty()) << "the demo store lists no user";
    std::vector<Row> rows;
    std::string firstDn, lastDn;
    CCertSelectDialog dialog("", qm::kKindOwn, CCertSelectDialog::kModeOwnKeys);
    auto run = RunDriven(dialog, [&](HWND window) {
        rows = uitest::Rows(window);
        firstDn = uitest::DnBox(window);
        uitest::SelectRow(window, int(uitest::Rows(window).size()) - 1);
        lastDn = uitest::DnBox(window);
        uitest::ClickButton(window, IDC_CONFIRM);
    });
    ASSERT_EQ(run.ended, IDOK);
    ASSERT_EQ(rows.size(), listing.size()); // every demo DN spells "cn="
    const std::regex date(R"(\d{4}-\d{2}-\d{2})");
    for (const Row& row : rows) {
        EXPECT_FALSE(row[0].empty());
        EXPECT_FALSE(row[1].empty());
        EXPECT_TRUE(std::regex_match(row[2], date)) << row[2];
    }
    EXPECT_EQ(firstDn, listing.front().subjectDN);
    EXPECT_EQ(lastDn, listing.back().subjectDN);
    std::vector<uint8_t> expected =
        Read(store.api, lastDn, qm::kKindOwn, CCertSelectDialog::kModeOwnKeys);
    ASSERT_FALSE(expected.empty());
    ByteBuffer result = dialog.GetResult();
    ASSERT_NE(result.data, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(result.data, result.data + result.length), expected);
    EXPECT_EQ(result.data[0], 0x30); // a DER certificate
}

TEST_F(DemoStore, OffersTheServerCertificateAsEnvelopingDoes) {
    auto listing = List(store.api, qm::kKindRecipient, CCertSelectDialog::kModeCertificates);
    ASSERT_FALSE(listing.empty()) << "the demo store lists no recipient";
    std::string shownDn;
    CCertSelectDialog dialog("", qm::kKindRecipient, CCertSelectDialog::kModeCertificates);
    auto run = RunDriven(dialog, [&](HWND window) {
        shownDn = uitest::DnBox(window);
        uitest::PressKey(window, VK_RETURN);
    });
    ASSERT_EQ(run.ended, IDOK);
    EXPECT_EQ(shownDn, listing.front().subjectDN);
    std::vector<uint8_t> expected =
        Read(store.api, shownDn, qm::kKindRecipient, CCertSelectDialog::kModeCertificates);
    ByteBuffer result = dialog.GetResult();
    ASSERT_FALSE(expected.empty());
    ASSERT_NE(result.data, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(result.data, result.data + result.length), expected);
}

// The picture: the demo users when the demo store is there, Korean names from a double when not.
TEST(Screenshot, OfTheDialogWithKoreanNames) {
    RealStore real;
    qmtest::StoreDouble fake;
    std::unique_ptr<qmtest::ScopedStoreDouble> binding;
    if (!real.problem.empty() ||
        List(real.api, qm::kKindOwn, CCertSelectDialog::kModeOwnKeys).empty()) {
        std::printf("no demo store (%s): the picture shows a store double\n",
                    real.problem.empty() ? "it lists nothing" : real.problem.c_str());
        KoreanDouble(fake);
        binding = std::make_unique<qmtest::ScopedStoreDouble>(fake);
    }
    bool captured = false;
    size_t rows = 0;
    CCertSelectDialog dialog("", qm::kKindOwn, CCertSelectDialog::kModeOwnKeys);
    auto run = RunDriven(dialog, [&](HWND window) {
        rows = uitest::Rows(window).size();
        captured = uitest::CaptureWindow(window, "cert-select.bmp");
        uitest::ClickButton(window, IDC_CANCEL_BUTTON);
    });
    EXPECT_TRUE(run.showed);
    EXPECT_EQ(run.ended, IDCANCEL);
    EXPECT_GT(rows, 0u);
    EXPECT_TRUE(captured);
}
