// The registry script processor on its own, over an in-memory registry: the class scripts as
// shipped, the modifiers, rollback, and malformed scripts with their exact result codes.
#include "module/registry/RegistryScript.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

using namespace qm::reg;
using ::testing::ElementsAre;

namespace {

struct CaseLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
                return std::tolower((unsigned char)x) < std::tolower((unsigned char)y);
            });
    }
};

struct Node {
    std::map<std::string, std::unique_ptr<Node>, CaseLess> children;
    std::map<std::string, std::string, CaseLess> values; // "" is the unnamed value
};

// A registry in memory. It counts open handles, so that a test sees every key closed, and can be
// told to refuse creating a key of a given name.
class MemoryRegistry final : public Registry {
public:
    Key RootKey(Root root) override { return reinterpret_cast<Key>(&roots_[root]); }
    bool Open(Key parent, const std::string& name, Access, Key* key) override {
        auto& children = AsNode(parent)->children;
        auto it = children.find(name);
        if (it == children.end()) {
            return false;
        }
        return Hand(it->second.get(), key);
    }
    bool Create(Key parent, const std::string& name, Key* key) override {
        return refuseCreate.count(name) == 0 && Hand(Child(AsNode(parent), name), key);
    }
    void Close(Key key) override {
        ASSERT_EQ(open_.erase(key), 1u) << "closing a key that is not open";
    }
    bool SetString(Key key, const std::string& name, const std::string& text) override {
        AsNode(key)->values[name] = "s:" + text;
        return true;
    }
    bool SetNumber(Key key, const std::string& name, uint32_t number) override {
        AsNode(key)->values[name] = "d:" + std::to_string(number);
        return true;
    }
    bool SetBytes(Key key, const std::string& name, const std::vector<uint8_t>& bytes) override {
        std::string hex = "b:";
        for (uint8_t b : bytes) {
            static const char digits[] = "0123456789abcdef";
            hex += digits[b >> 4];
            hex += digits[b & 15];
        }
        AsNode(key)->values[name] = hex;
        return true;
    }
    void DeleteValue(Key key, const std::string& name) override { AsNode(key)->values.erase(name); }
    void DeleteTree(Key parent, const std::string& name) override {
        AsNode(parent)->children.erase(name);
    }
    void DeleteKey(Key parent, const std::string& name) override {
        auto& children = AsNode(parent)->children;
        auto it = children.find(name);
        if (it != children.end() && it->second->children.empty()) {
            children.erase(it);
        }
    }
    uint32_t CountSubkeys(Key key) override { return AsNode(key)->children.size(); }
    bool HasNamedValues(Key key) override {
        const auto& values = AsNode(key)->values;
        return std::any_of(values.begin(), values.end(), [](auto& v) { return !v.first.empty(); });
    }

    // Every key and value below HKCR, one line each: "path" or "path [name] = value".
    std::vector<std::string> Dump(Root root = Root::ClassesRoot) {
        std::vector<std::string> lines;
        DumpNode(roots_[root], "", &lines);
        return lines;
    }
    // Writes a key path (with backslashes) and optionally its unnamed value, for a set-up.
    void Put(const std::string& path, const std::string& value = "", const std::string& name = "",
             Root root = Root::ClassesRoot) {
        Node* node = &roots_[root];
        std::stringstream parts(path);
        std::string part;
        while (std::getline(parts, part, '\\')) {
            node = Child(node, part);
        }
        if (!value.empty()) {
            node->values[name] = value;
        }
    }
    size_t OpenKeys() const { return open_.size(); }

    std::set<std::string> refuseCreate;

private:
    static Node* AsNode(Key key) { return reinterpret_cast<Node*>(key); }
    // The child of that name, made when there is none.
    static Node* Child(Node* parent, const std::string& name) {
        auto& slot = parent->children[name];
        if (!slot) {
            slot = std::make_unique<Node>();
        }
        return slot.get();
    }
    bool Hand(Node* node, Key* key) {
        *key = reinterpret_cast<Key>(node);
        open_.insert(*key);
        return true;
    }
    static void DumpNode(const Node& node, const std::string& path,
                         std::vector<std::string>* lines) {
        for (const auto& [name, value] : node.values) {
            lines->push_back(path + " [" + name + "] = " + value);
        }
        for (const auto& [name, child] : node.children) {
            std::string childPath = path.empty() ? name : path + "\\" + name;
            lines->push_back(childPath);
            DumpNode(*child, childPath, lines);
        }
    }

    std::map<Root, Node> roots_;
    std::multiset<Key> open_;
};

std::string ReadResource(const std::string& name) {
    std::ifstream in(std::string(QM_RESOURCE_DIR) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const Replacements kModule{{"Module", DoubleApostrophes("C:\\PROGRA~1\\IT'S~1\\QUILLM~1.DLL")}};

constexpr const char* kClsid = "{1BC0F715-34E2-4C99-A6EF-CDBC7508374A}";

std::vector<std::string> SecureSessionKeys() {
    const std::string c = std::string("CLSID\\") + kClsid;
    return {
        "CLSID",
        c,
        c + " [] = s:SecureSession Class",
        c + "\\InprocServer32",
        c + "\\InprocServer32 [] = s:C:\\PROGRA~1\\IT'S~1\\QUILLM~1.DLL",
        c + "\\InprocServer32 [ThreadingModel] = s:Apartment",
        c + "\\ProgID",
        c + "\\ProgID [] = s:Quillmark.SecureSession.1",
        c + "\\Programmable",
        c + "\\TypeLib",
        c + "\\TypeLib [] = s:{A148AAB5-390F-402F-8075-291C4A8787F1}",
        c + "\\VersionIndependentProgID",
        c + "\\VersionIndependentProgID [] = s:Quillmark.SecureSession",
        "Quillmark.SecureSession",
        "Quillmark.SecureSession [] = s:SecureSession Class",
        "Quillmark.SecureSession\\CLSID",
        std::string("Quillmark.SecureSession\\CLSID [] = s:") + kClsid,
        "Quillmark.SecureSession\\CurVer",
        "Quillmark.SecureSession\\CurVer [] = s:Quillmark.SecureSession.1",
        "Quillmark.SecureSession.1",
        "Quillmark.SecureSession.1 [] = s:SecureSession Class",
        "Quillmark.SecureSession.1\\CLSID",
        std::string("Quillmark.SecureSession.1\\CLSID [] = s:") + kClsid,
    };
}

} // namespace

TEST(ClassScripts, AreCrLfTextWithTabsAndOneBlockEach) {
    for (const char* name : {"SecureSession.rgs", "Veyra.rgs", "DSSession.rgs"}) {
        std::string text = ReadResource(name);
        ASSERT_FALSE(text.empty()) << name;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') {
                ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << name << " has a bare LF";
                ASSERT_TRUE(i + 1 == text.size() || text[i + 1] != ' ')
                    << name << " indents with spaces";
            }
        }
        Script script;
        std::string expanded;
        ASSERT_EQ(Preprocess(text, kModule, &expanded), kOk);
        ASSERT_EQ(Parse(expanded, &script), kOk) << name;
        ASSERT_EQ(script.size(), 1u);
        EXPECT_EQ(script[0].root, Root::ClassesRoot);
        EXPECT_EQ(script[0].entries.size(), 3u);
    }
}

TEST(ClassScripts, RegisterWritesTheTableAndUnregisterTakesItAllBack) {
    MemoryRegistry registry;
    registry.Put("CLSID\\{00000000-0000-0000-0000-000000000001}", "s:another class");
    registry.Put(".txt", "s:txtfile");
    std::vector<std::string> before = registry.Dump();

    std::string script = ReadResource("SecureSession.rgs");
    ASSERT_EQ(RunScript(script, kModule, Mode::Register, registry), kOk);
    std::vector<std::string> expected = SecureSessionKeys();
    expected.insert(expected.end(), before.begin(), before.end());
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    std::vector<std::string> after = registry.Dump();
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, expected); // the module path keeps its one apostrophe
    EXPECT_EQ(registry.OpenKeys(), 0u);

    // Registering again gives the same keys.
    ASSERT_EQ(RunScript(script, kModule, Mode::Register, registry), kOk);
    std::vector<std::string> again = registry.Dump();
    std::sort(again.begin(), again.end());
    EXPECT_EQ(again, after);

    ASSERT_EQ(RunScript(script, kModule, Mode::Unregister, registry), kOk);
    EXPECT_EQ(registry.Dump(), before);
    EXPECT_EQ(registry.OpenKeys(), 0u);

    // Unregistering what is not registered is no error and touches nothing.
    ASSERT_EQ(RunScript(script, kModule, Mode::Unregister, registry), kOk);
    EXPECT_EQ(registry.Dump(), before);
}

TEST(ClassScripts, AnEmptyRegistryKeepsCLSIDAfterUnregistering) {
    MemoryRegistry registry;
    std::string script = ReadResource("Veyra.rgs");
    ASSERT_EQ(RunScript(script, kModule, Mode::Register, registry), kOk);
    ASSERT_EQ(RunScript(script, kModule, Mode::Unregister, registry), kOk);
    EXPECT_THAT(registry.Dump(), ElementsAre("CLSID"));
}

TEST(ClassScripts, ForceRemoveReplacesTheClassKeyButNeverCLSID) {
    MemoryRegistry registry;
    std::string c = std::string("CLSID\\") + kClsid;
    registry.Put(c + "\\Stale", "s:left by an old version");
    registry.Put(c + "\\Programmable\\Old");
    registry.Put("CLSID\\{00000000-0000-0000-0000-000000000001}");
    ASSERT_EQ(RunScript(ReadResource("SecureSession.rgs"), kModule, Mode::Register, registry), kOk);
    std::vector<std::string> dump = registry.Dump();
    auto has = [&](const std::string& line) {
        return std::find(dump.begin(), dump.end(), line) != dump.end();
    };
    EXPECT_FALSE(has(c + "\\Stale"));
    EXPECT_FALSE(has(c + "\\Programmable\\Old"));
    EXPECT_TRUE(has("CLSID\\{00000000-0000-0000-0000-000000000001}"));

    Script parsed;
    ASSERT_EQ(Parse("HKCR { ForceRemove CLSID { X } ForceRemove TypeLib { Y } }", &parsed), kOk);
    registry.Put("TypeLib\\{lib}");
    ASSERT_EQ(qm::reg::Run(parsed, Mode::Register, registry), kOk);
    dump = registry.Dump();
    EXPECT_TRUE(has("CLSID\\{00000000-0000-0000-0000-000000000001}"));
    EXPECT_TRUE(has("TypeLib\\{lib}"));
}

TEST(ClassScripts, UnregisterLeavesKeysThatHoldOtherProgramsSubkeys) {
    MemoryRegistry registry;
    std::string script = ReadResource("SecureSession.rgs");
    ASSERT_EQ(RunScript(script, kModule, Mode::Register, registry), kOk);
    registry.Put("Quillmark.SecureSession\\Shell\\Open", "s:someone else's");
    ASSERT_EQ(RunScript(script, kModule, Mode::Unregister, registry), kOk);
    EXPECT_THAT(registry.Dump(),
                ElementsAre("CLSID", "Quillmark.SecureSession",
                            "Quillmark.SecureSession [] = s:SecureSession Class",
                            "Quillmark.SecureSession\\Shell",
                            "Quillmark.SecureSession\\Shell\\Open",
                            "Quillmark.SecureSession\\Shell\\Open [] = s:someone else's"));
}

TEST(Rollback, AFailedBlockTakesBackWhatItWrote) {
    MemoryRegistry registry;
    registry.Put("CLSID\\{00000000-0000-0000-0000-000000000001}");
    std::vector<std::string> before = registry.Dump();
    registry.refuseCreate.insert("InprocServer32");
    EXPECT_EQ(RunScript(ReadResource("SecureSession.rgs"), kModule, Mode::Register, registry),
              kSyntax);
    EXPECT_EQ(registry.Dump(), before);
    EXPECT_EQ(registry.OpenKeys(), 0u);
}

TEST(Rollback, EarlierBlocksStayWhenALaterOneFails) {
    MemoryRegistry registry;
    registry.refuseCreate.insert("B");
    EXPECT_EQ(RunScript("HKCU { A = s 'a' } HKCU { A2 = s 'x' B }", {}, Mode::Register, registry),
              kSyntax);
    EXPECT_THAT(registry.Dump(Root::CurrentUser), ElementsAre("A", "A [] = s:a"));
}

std::string Nested(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += "K { ";
    }
    for (int i = 0; i < depth; ++i) {
        text += "} ";
    }
    return text;
}

struct Malformed {
    const char* name;
    std::string script;
    Result expected;
};

class MalformedScript : public ::testing::TestWithParam<Malformed> {};

// Each is checked before anything is written: the registry stays as it was.
TEST_P(MalformedScript, FailsWithItsCodeAndWritesNothing) {
    MemoryRegistry registry;
    registry.Put("Existing", "s:kept");
    std::vector<std::string> before = registry.Dump();
    Replacements table{{"Module", "C:\\Q.DLL"}};
    EXPECT_EQ(RunScript(GetParam().script, table, Mode::Register, registry), GetParam().expected);
    EXPECT_EQ(registry.Dump(), before);
    EXPECT_EQ(RunScript(GetParam().script, table, Mode::Unregister, registry), GetParam().expected);
    EXPECT_EQ(registry.Dump(), before);
    EXPECT_EQ(registry.OpenKeys(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, MalformedScript,
    ::testing::Values(
        Malformed{"UnterminatedQuote", "HKCR { Key = s 'never closed }", kSyntax},
        Malformed{"MissingClosingBrace", "HKCR { Key = s 'v' { Sub }", kSyntax},
        Malformed{"MissingOpeningBrace", "HKCR Key = s 'v' }", kSyntax},
        Malformed{"UnknownRoot", "HKEY_NOWHERE { Key }", kSyntax},
        Malformed{"QuotedRoot", "'HKCR' { Key }", kSyntax},
        Malformed{"LongReplacementName", "HKCR { Key = s '%" + std::string(32, 'M') + "%' }",
                  kFail},
        Malformed{"UnknownReplacementName", "HKCR { Key = s '%" + std::string(31, 'M') + "%' }",
                  kSyntax},
        Malformed{"MissingClosingPercent", "HKCR { Key = s '%MODULE' }", kSyntax},
        Malformed{"OddHexDigits", "HKCR { Key { val Bytes = b 'abc' } }", kFail},
        Malformed{"ForeignHexDigit", "HKCR { Key { val Bytes = b 'zz' } }", kSyntax},
        Malformed{"BadNumber", "HKCR { Key { val N = d '12x' } }", kSyntax},
        Malformed{"NumberTooLarge", "HKCR { Key { val N = d '4294967296' } }", kSyntax},
        Malformed{"UnknownType", "HKCR { Key = q 'v' }", kSyntax},
        Malformed{"KeyNameWithBackslash", "HKCR { 'A\\B' }", kSyntax},
        Malformed{"ValueWithoutEquals", "HKCR { Key { val Name s 'v' } }", kSyntax},
        Malformed{"TokenOf4096Bytes", "HKCR { Key = s '" + std::string(4096, 'x') + "' }", kFail},
        Malformed{"BareTokenOf4096Bytes", "HKCR { " + std::string(4096, 'k') + " }", kFail},
        Malformed{"TooDeep", "HKCR { " + Nested(kDepthLimit + 1) + "}", kSyntax},
        // A later block that is malformed keeps the earlier, valid one from being written.
        Malformed{"SecondBlockMalformed", "HKCR { Good = s 'v' } HKCR { Bad = s 'v' ", kSyntax}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

TEST(Tokens, LimitsAndApostrophes) {
    Script script;
    ASSERT_EQ(Parse("HKCR { Key = s '" + std::string(4095, 'x') + "' }", &script), kOk);
    EXPECT_EQ(script[0].entries[0].value.text.size(), 4095u);
    ASSERT_EQ(Parse("HKCR { 'it''s' = s 'a''''b' }", &script), kOk);
    EXPECT_EQ(script[0].entries[0].name, "it's");
    EXPECT_EQ(script[0].entries[0].value.text, "a''b");
    // Keywords and braces count only when bare.
    ASSERT_EQ(Parse("hkcr { 'Delete' = s '}' { 'val' } }", &script), kOk);
    EXPECT_EQ(script[0].entries[0].modifier, Entry::Modifier::None);
    EXPECT_EQ(script[0].entries[0].name, "Delete");
    EXPECT_EQ(script[0].entries[0].value.text, "}");
    EXPECT_EQ(script[0].entries[0].children[0].name, "val");
    EXPECT_EQ(script[0].entries[0].children[0].kind, Entry::Kind::Key);
}

TEST(Tokens, EveryRootNameWithoutRegardToCase) {
    for (const char* root :
         {"HKCR", "hkcu", "HkLm", "HKU", "HKPD", "HKDD", "HKCC", "HKEY_CLASSES_ROOT",
          "hkey_current_user", "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_PERFORMANCE_DATA",
          "HKEY_DYN_DATA", "HKEY_CURRENT_CONFIG"}) {
        Script script;
        EXPECT_EQ(Parse(std::string(root) + "\r\n{\r\n}\r\n", &script), kOk) << root;
    }
}

TEST(Preprocessing, ReplacesNamesWithoutRegardToCaseAndNeverRescans) {
    std::string out;
    Replacements table{{"Module", "C:\\100%%\\%MODULE%"}};
    ASSERT_EQ(Preprocess("a %% b %module% c %MoDuLe%", table, &out), kOk);
    EXPECT_EQ(out, "a % b C:\\100%%\\%MODULE% c C:\\100%%\\%MODULE%");
    ASSERT_EQ(Preprocess("100%%", {}, &out), kOk);
    EXPECT_EQ(out, "100%");
    EXPECT_EQ(Preprocess("%%%", {}, &out), kSyntax);
}

TEST(ValueTypes, NumbersBytesAndTheDeleteModifier) {
    MemoryRegistry registry;
    registry.Put("Doomed\\Child", "s:x", "", Root::LocalMachine);
    ASSERT_EQ(RunScript("HKLM { Key { val N = d '42' val H = d '0x10' val M = d '-1' "
                        "val B = b '0aFF' } Delete Doomed }",
                        {}, Mode::Register, registry),
              kOk);
    std::vector<std::string> dump = registry.Dump(Root::LocalMachine);
    EXPECT_THAT(dump, ElementsAre("Key", "Key [B] = b:0aff", "Key [H] = d:16",
                                  "Key [M] = d:4294967295", "Key [N] = d:42"));
}

TEST(ValueTypes, UnregisterDeletesNamedValuesAndRespectsNoRemove) {
    MemoryRegistry registry;
    std::string script = "HKCU { NoRemove Software { Ours { val V = s 'v' } } }";
    registry.Put("Software\\Ours", "s:other", "Other", Root::CurrentUser);
    ASSERT_EQ(RunScript(script, {}, Mode::Register, registry), kOk);
    ASSERT_EQ(RunScript(script, {}, Mode::Unregister, registry), kOk);
    // Ours has no subkeys left, so it goes with the value nobody named; Software stays.
    EXPECT_THAT(registry.Dump(Root::CurrentUser), ElementsAre("Software"));
}
