// The registry entries of a per-user install, made from the sources of self-registration: the
// classes' registry scripts, run by the registry script processor in register mode with
// HKEY_CLASSES_ROOT standing for the user's own classes (HKEY_CURRENT_USER\Software\Classes), and
// the type library's entries as the platform's RegisterTypeLib writes them, read from the
// interface definitions. The installer writes them as values of its own, so that it removes
// exactly them again; self-registration (regsvr32) would write the machine's classes instead,
// and an uninstall could not take them back.
#pragma once

#include "module/registry/RegistryScript.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::msi {

// One registry value under HKEY_CURRENT_USER, or a key that holds no value and no subkey
// (keyOnly): the installer creates such a key itself and deletes it at uninstall.
struct Row {
    std::string key;
    std::string name; // "" is the key's unnamed value
    reg::Value value;
    bool keyOnly = false;
};

// A registry that changes nothing: it keeps what a script run would leave, in the order of
// writing. HKEY_CLASSES_ROOT is the user's classes; a script that names a root other than it and
// HKEY_CURRENT_USER fails (a per-user install writes nothing else), and refusedRoot says so.
class RecordingRegistry final : public reg::Registry {
public:
    RecordingRegistry();
    ~RecordingRegistry() override;

    Key RootKey(reg::Root root) override;
    bool Open(Key parent, const std::string& name, Access access, Key* key) override;
    bool Create(Key parent, const std::string& name, Key* key) override;
    void Close(Key) override {}
    bool SetString(Key key, const std::string& valueName, const std::string& text) override;
    bool SetNumber(Key key, const std::string& valueName, uint32_t number) override;
    bool SetBytes(Key key, const std::string& valueName,
                  const std::vector<uint8_t>& bytes) override;
    void DeleteValue(Key key, const std::string& valueName) override;
    void DeleteTree(Key parent, const std::string& name) override;
    void DeleteKey(Key parent, const std::string& name) override;
    uint32_t CountSubkeys(Key key) override;
    bool HasNamedValues(Key key) override;

    // A string value at a path of keys under HKEY_CURRENT_USER\Software\Classes, the keys made
    // as needed.
    void SetClassesString(const std::vector<std::string>& path, const std::string& valueName,
                          const std::string& text);

    // What was recorded: every value, and every key left without values and subkeys.
    std::vector<Row> Rows() const;

    bool refusedRoot = false;

    struct Node; // a key and what it holds

private:
    bool Set(Key key, const std::string& valueName, reg::Value value);

    std::unique_ptr<Node> currentUser_;
    Node* classes_;
};

// A type library as its interface definitions declare it, and the interfaces that its
// registration records (the dual and automation-compatible ones).
struct TypeLibrary {
    struct Interface {
        std::string id; // {GUID}, upper case
        std::string name;
    };
    std::string id;
    std::string version; // major.minor
    uint32_t lcid = 0;
    uint32_t flags = 0;      // LIBFLAG_* values, as the registry's FLAGS records them
    std::string description; // the helpstring, else the library's name
    std::vector<Interface> interfaces;
};

// The library and its interfaces from IDL text. A text without a library, or with attributes
// that cannot be read, throws std::runtime_error.
TypeLibrary ReadTypeLibrary(std::string_view idl);

enum class Architecture { X64, X86 };

// The type library's entries, as the platform's RegisterTypeLib writes them for a module that
// holds it, at modulePath in folder (ending in a backslash).
void RecordTypeLibrary(RecordingRegistry& registry, const TypeLibrary& library,
                       Architecture architecture, const std::string& modulePath,
                       const std::string& folder);

// Text that the installer's Formatted type keeps as it is: brackets escaped.
std::string LiteralFormatted(std::string_view text);

// Text in the recorded values that stands for something only the installer knows (the module's
// path, its folder), and the installer's formatted reference that replaces it.
struct Reference {
    std::string standIn;
    std::string formatted;
};

// The rows as WiX RegistryValue elements under HKEY_CURRENT_USER, one per line, each line
// starting with `indent`: every value literal but for the references in it. Throws
// std::runtime_error for a value that the installer cannot write as it is (an empty string: its
// Registry table reads an empty value as none).
std::string WixRegistryValues(const std::vector<Row>& rows, std::string_view indent,
                              const std::vector<Reference>& references);

} // namespace qm::msi
