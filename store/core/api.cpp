// The certificate functions of Ledra.dll over the folder tree of layout.h.
#include "store/core/codepage.h"
#include "store/core/layout.h"
#include "store/core/ledra.h"

#include "platform/abi.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

namespace ledra {
namespace {

std::atomic<int> g_codePage{kUtf8CodePage};

constexpr size_t kDnLimit = qm::kDnSlotSize - 1;

// An entry as the callers see it: its DNs in the code page.
struct Listed {
    Entry entry;
    std::string subject; // fits a DN slot
    std::string issuer;  // cut to fit a DN slot when longer: it is only shown
};

// Checks shared by the functions: the kind and the medium; then the folder they select, opened
// once, so that what is listed and read is the folder that was judged.
int32_t SelectFolder(int32_t kind, int32_t medium, platform::Folder& folder) {
    if (kind != qm::kKindOwn && kind != qm::kKindRecipient) {
        return err::kBadKind;
    }
    if (medium < 0 || medium >= kMediaCount) {
        return err::kBadMedium;
    }
    // A medium may be kept outside the root (a USB stick): it is trusted on its own terms.
    return OpenStoreFolder(StoreRoot(), kind == qm::kKindOwn ? medium : kRecipients, folder);
}

bool PasswordMatches(const char* password) {
    return password != nullptr && std::strcmp(password, qm::kStorePassword) == 0;
}

// The store's view of a folder: readable entries whose subject DN fits a slot and a DN list
// (certificate.h), ordered by DN.
// Where several certificates share a DN (a renewed one beside the old), the one that expires last
// stands for it, in listings and lookups alike.
int32_t List(int32_t kind, const platform::Folder& folder, std::vector<Listed>& out) {
    std::optional<FolderContents> contents = ReadFolder(folder, kind == qm::kKindOwn);
    if (!contents) {
        return err::kNoMedium;
    }
    int codePage = g_codePage.load(std::memory_order_relaxed);
    std::vector<Listed> listed;
    for (Entry& entry : contents->entries) {
        if (!FitsADnList(entry.subject)) {
            continue;
        }
        AnsiText subject = Utf8ToAnsi(entry.subject, codePage, kDnLimit);
        if (subject.cut) {
            continue; // a DN that cannot be handed out whole names nothing
        }
        AnsiText issuer = Utf8ToAnsi(entry.issuer, codePage, kDnLimit);
        listed.push_back(Listed{std::move(entry), std::move(subject.text), std::move(issuer.text)});
    }
    std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
        if (a.subject != b.subject) {
            return a.subject < b.subject;
        }
        if (a.entry.notAfter != b.entry.notAfter) {
            return a.entry.notAfter > b.entry.notAfter;
        }
        return a.entry.id < b.entry.id;
    });
    auto sameDn = [](const Listed& a, const Listed& b) { return a.subject == b.subject; };
    listed.erase(std::unique(listed.begin(), listed.end(), sameDn), listed.end());
    out = std::move(listed);
    return 0;
}

int32_t Find(int32_t kind, const platform::Folder& folder, const char* dn, Listed& found) {
    if (std::strlen(dn) > kDnLimit) {
        return err::kDnTooLong;
    }
    std::vector<Listed> listed;
    if (int32_t rc = List(kind, folder, listed); rc != 0) {
        return rc;
    }
    for (Listed& item : listed) {
        if (item.subject == dn) {
            found = std::move(item);
            return 0;
        }
    }
    return err::kNotFound;
}

int32_t Deliver(std::span<const uint8_t> bytes, ByteBuffer* output) {
    if (bytes.size() > static_cast<size_t>(qm::kStoreBlockSize)) {
        return err::kTooLarge;
    }
    std::memcpy(output->data, bytes.data(), bytes.size());
    output->length = static_cast<int32_t>(bytes.size());
    return 0;
}

void FillRecord(const Listed& item, CertInfoRecord& record) {
    std::memset(&record, 0, sizeof(record));
    std::memcpy(record.subjectDN, item.subject.data(), item.subject.size());
    std::memcpy(record.issuerDN, item.issuer.data(), item.issuer.size());
    record.expiry = ClampTime32(item.entry.notAfter);
}

// Lists the folder that the kind and medium select and hands each of the first 30 entries, with
// its index, to `write`. Returns the count written or a failure.
template <typename Write> int32_t ListFirst(int32_t kind, int32_t medium, Write&& write) {
    platform::Folder folder;
    if (int32_t rc = SelectFolder(kind, medium, folder); rc != 0) {
        return rc;
    }
    std::vector<Listed> listed;
    if (int32_t rc = List(kind, folder, listed); rc != 0) {
        return rc;
    }
    size_t count = std::min<size_t>(listed.size(), qm::kMaxListEntries);
    for (size_t i = 0; i < count; ++i) {
        write(i, listed[i]);
    }
    return static_cast<int32_t>(count);
}

int32_t ListRecords(int32_t kind, int32_t medium, CertInfoRecord* records) {
    if (records == nullptr) {
        return err::kBadArgument;
    }
    return ListFirst(kind, medium,
                     [&](size_t i, const Listed& item) { FillRecord(item, records[i]); });
}

enum class Part { Certificate, Key };

int32_t Fetch(const char* dn, int32_t kind, int32_t medium, ByteBuffer* output, Part part) {
    platform::Folder folder;
    if (int32_t rc = SelectFolder(kind, medium, folder); rc != 0) {
        return rc;
    }
    if (part == Part::Key && kind != qm::kKindOwn) {
        return err::kNoKey;
    }
    Listed found;
    if (int32_t rc = Find(kind, folder, dn, found); rc != 0) {
        return rc;
    }
    return part == Part::Certificate ? Deliver(found.entry.cert, output)
                                     : Deliver(found.entry.key.span(), output);
}

int32_t CheckOutput(const char* dn, ByteBuffer* output) {
    if (output == nullptr) {
        return err::kBadArgument;
    }
    output->length = 0;
    return dn == nullptr || output->data == nullptr ? err::kBadArgument : 0;
}

// No exception leaves the store: a failure of memory becomes a code like any other.
template <typename F> int32_t Guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return err::kInternal;
    }
}

} // namespace

void SetAnsiCodePage(int codePage) noexcept {
    g_codePage.store(codePage > 0 ? codePage : kUtf8CodePage, std::memory_order_relaxed);
}

int AnsiCodePage() noexcept {
    return g_codePage.load(std::memory_order_relaxed);
}

int32_t LD_GetKeyDN(int32_t kind, char* dnArea, int32_t medium, int32_t /*siteCode*/) {
    return Guarded([&]() -> int32_t {
        if (dnArea == nullptr) {
            return err::kBadArgument;
        }
        return ListFirst(kind, medium, [&](size_t i, const Listed& item) {
            char* slot = dnArea + i * qm::kDnSlotSize;
            std::memset(slot, 0, qm::kDnSlotSize);
            std::memcpy(slot, item.subject.data(), item.subject.size());
        });
    });
}

int32_t LD_GetKeyInfo(int32_t kind, CertInfoRecord* records, int32_t medium, int32_t /*siteCode*/,
                      const char* password) {
    return Guarded([&]() -> int32_t {
        if (!PasswordMatches(password)) {
            return err::kWrongPassword;
        }
        return ListRecords(kind, medium, records);
    });
}

int32_t LD_GetCertInfo(int32_t kind, CertInfoRecord* records, int32_t /*siteCode*/) {
    return Guarded([&]() -> int32_t { return ListRecords(kind, 0, records); });
}

namespace {

// A part of one of the user's entries, handed out once the store's password is given.
int32_t FetchWithPassword(const char* dn, int32_t kind, int32_t medium, const char* password,
                          ByteBuffer* output, Part part) {
    return Guarded([&]() -> int32_t {
        if (int32_t rc = CheckOutput(dn, output); rc != 0) {
            return rc;
        }
        if (!PasswordMatches(password)) {
            return err::kWrongPassword;
        }
        return Fetch(dn, kind, medium, output, part);
    });
}

} // namespace

int32_t LD_GetMyCert(const char* dn, int32_t kind, int32_t medium, int32_t /*siteCode*/,
                     const char* password, ByteBuffer* output) {
    return FetchWithPassword(dn, kind, medium, password, output, Part::Certificate);
}

int32_t LD_GetCert(const char* dn, int32_t kind, ByteBuffer* output) {
    return Guarded([&]() -> int32_t {
        if (int32_t rc = CheckOutput(dn, output); rc != 0) {
            return rc;
        }
        return Fetch(dn, kind, 0, output, Part::Certificate);
    });
}

int32_t LD_GetKey(const char* dn, int32_t kind, int32_t medium, int32_t /*siteCode*/,
                  const char* password, ByteBuffer* output) {
    return FetchWithPassword(dn, kind, medium, password, output, Part::Key);
}

} // namespace ledra
