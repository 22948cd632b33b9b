// One process of the stress test: a mix of GenerateEx, EncipherEx, DecipherEx and getDNList
// against the shared stored settings, while other processes do the same.
//
// A round trip whose sealed text ("c") is the same before and after it used one key throughout
// and must give the text back exactly. One whose key another process replaced in between may fail
// with a code, or (the few cases CBC lets through) give other text. Every tenth iteration the
// process takes the settings mutex and records "b" and "c" together; the test then checks that
// each recorded "c", opened with the recipient's key, is exactly "b": a set is never torn.
#include "automation/StoredSettings.h"
#include "automation/QuillmarkInterfaces.h"
#include "platform/Raii.h"
#include "platform/ciphers.h"
#include "tests/support/bstr.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using qmtest::Bstr;
using qmtest::TextOf;

const wchar_t* kServerDn = L"cn=Quillmark Demo Server,ou=Servers,o=Quillmark Demo,c=KR";

template <class I> bool Create(const wchar_t* progId, REFIID iid, qm::ComPtr<I>& out) {
    CLSID clsid;
    return SUCCEEDED(CLSIDFromProgID(progId, &clsid)) &&
           SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out.out_void()));
}

std::string ReadSetting(HKEY key, const char* name) {
    char text[4096] = {};
    DWORD size = sizeof(text) - 1;
    LONG status =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    return status == ERROR_SUCCESS ? text : "";
}

// "b" and "c" as one set, read while holding the settings mutex.
bool Snapshot(FILE* out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\TesselCorp\\Oriel\\Veyra\\Brindel", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    std::string b, c;
    {
        qm::SettingsLock lock;
        b = ReadSetting(key, "b");
        c = ReadSetting(key, "c");
    }
    RegCloseKey(key);
    std::fprintf(out, "%s %s\n", b.c_str(), c.c_str());
    return !b.empty() && !c.empty();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: stress_client ID ITERATIONS SNAPSHOT-FILE\n");
        return 2;
    }
    int id = _wtoi(argv[1]), iterations = _wtoi(argv[2]);
    FILE* snapshots = _wfopen(argv[3], L"w");
    if (snapshots == nullptr || FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        std::fprintf(stderr, "client %d: cannot start\n", id);
        return 2;
    }
    int violations = 0, generated = 0, exact = 0, replaced = 0, listed = 0;
    {
        qm::ComPtr<ISecureSession> session;
        qm::ComPtr<IVeyra> veyra;
        if (!Create(L"Quillmark.SecureSession", IID_ISecureSession, session) ||
            !Create(L"Quillmark.Veyra", IID_IVeyra, veyra)) {
            std::fprintf(stderr, "client %d: cannot create the objects\n", id);
            return 2;
        }
        qm::UniqueBstr server = Bstr(kServerDn);
        std::vector<std::wstring> algorithms; // those GenerateEx takes, which the mix picks from
        for (const qm::CipherRow& cipher : qm::kCiphers) {
            if (qm::CanEnvelope(cipher)) {
                algorithms.emplace_back(cipher.name, cipher.name + std::strlen(cipher.name));
            }
        }
        srand(unsigned(id) * 7919u + 1u);
        for (int i = 0; i < iterations; ++i) {
            int pick = i == 0 ? 0 : rand() % 10;
            if (pick < 2) {
                qm::UniqueBstr algorithm = Bstr(algorithms[size_t(rand()) % algorithms.size()]);
                qm::UniqueBstr sealed;
                HRESULT hr = session->GenerateEx(algorithm.get(), server.get(), sealed.out());
                if (hr != S_OK || SysStringLen(sealed.get()) == 0) {
                    std::fprintf(stderr, "client %d: GenerateEx failed (%08lx)\n", id, hr);
                    ++violations;
                }
                ++generated;
            } else if (pick < 8) {
                std::wstring text = L"stress " + std::to_wstring(id) + L"/" + std::to_wstring(i) +
                                    L" \xD64D\xAE38\xB3D9";
                qm::UniqueBstr before, after, input = Bstr(text), cipher, plain;
                session->getKEYIV(before.out());
                HRESULT enc = session->EncipherEx(input.get(), cipher.out());
                HRESULT dec =
                    enc == S_OK ? session->DecipherEx(cipher.get(), plain.out()) : S_FALSE;
                session->getKEYIV(after.out());
                bool sameKey =
                    SysStringLen(before.get()) > 0 && TextOf(before.get()) == TextOf(after.get());
                if (sameKey) {
                    if (enc != S_OK || dec != S_OK || TextOf(plain.get()) != text) {
                        std::fprintf(stderr, "client %d: round trip %d under one key failed\n", id,
                                     i);
                        ++violations;
                    }
                    ++exact;
                } else {
                    INT code = 0;
                    session->GetErrorCode(&code);
                    if (dec == S_FALSE && code != 13 && code != 12) {
                        std::fprintf(stderr, "client %d: unexpected code %d\n", id, code);
                        ++violations;
                    }
                    ++replaced;
                }
            } else {
                qm::UniqueBstr empty = Bstr(L""), list;
                if (veyra->getDNList(empty.get(), 0, 700, list.out()) != S_OK ||
                    SysStringLen(list.get()) == 0) {
                    std::fprintf(stderr, "client %d: getDNList failed\n", id);
                    ++violations;
                }
                ++listed;
            }
            if (i % 10 == 9 && !Snapshot(snapshots)) {
                std::fprintf(stderr, "client %d: no settings to record\n", id);
                ++violations;
            }
        }
    }
    std::fclose(snapshots);
    CoUninitialize();
    std::printf("client %d: %d GenerateEx, %d exact round trips, %d with a replaced key, "
                "%d getDNList, %d violations\n",
                id, generated, exact, replaced, listed, violations);
    return violations == 0 ? 0 : 1;
}
