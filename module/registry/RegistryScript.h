// The registry script processor: the small script language in which each class describes the
// keys that registration writes and unregistration removes. It is kept apart from the registry it
// writes to (the Registry interface below), so that it builds and is tested without Windows.
//
// A script is checked in full before anything is written: a malformed script changes nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::reg {

// Result codes, as HRESULT values.
using Result = int32_t;
inline constexpr Result kOk = 0;
inline constexpr Result kFail = static_cast<int32_t>(0x80004005);        // E_FAIL
inline constexpr Result kOutOfMemory = static_cast<int32_t>(0x8007000E); // E_OUTOFMEMORY
inline constexpr Result kSyntax = static_cast<int32_t>(0x80020009);      // DISP_E_EXCEPTION

// Longest token, in bytes, and longest %name% of the replacement table, in characters: both
// must stay below these.
inline constexpr size_t kTokenLimit = 4096;
inline constexpr size_t kReplacementNameLimit = 32;
// Deepest nesting of blocks a script may use (the registry itself allows 512 levels).
inline constexpr int kDepthLimit = 64;

enum class Root { ClassesRoot, CurrentUser, LocalMachine, Users, PerformanceData, DynData, Config };

// The registry as the processor sees it. Keys are opaque handles; 0 is no key. The processor
// closes every key it opened or created and never closes a root.
class Registry {
public:
    using Key = uintptr_t;
    enum class Access { Full, Read };

    virtual ~Registry() = default;
    virtual Key RootKey(Root root) = 0;
    virtual bool Open(Key parent, const std::string& name, Access access, Key* key) = 0;
    virtual bool Create(Key parent, const std::string& name, Key* key) = 0;
    virtual void Close(Key key) = 0;
    // An empty value name is the key's unnamed value.
    virtual bool SetString(Key key, const std::string& valueName, const std::string& text) = 0;
    virtual bool SetNumber(Key key, const std::string& valueName, uint32_t number) = 0;
    virtual bool SetBytes(Key key, const std::string& valueName,
                          const std::vector<uint8_t>& bytes) = 0;
    virtual void DeleteValue(Key key, const std::string& valueName) = 0;
    // The key with all its subkeys and values.
    virtual void DeleteTree(Key parent, const std::string& name) = 0;
    // The key alone; it has no subkeys.
    virtual void DeleteKey(Key parent, const std::string& name) = 0;
    virtual uint32_t CountSubkeys(Key key) = 0;
    // Whether the key holds any value other than its unnamed one.
    virtual bool HasNamedValues(Key key) = 0;
};

// %name% replacements, looked up without regard to case.
using Replacements = std::vector<std::pair<std::string, std::string>>;

enum class Mode { Register, Unregister };

// The parsed form of a script.
struct Value {
    enum class Type { String, Number, Bytes } type = Type::String;
    std::string text;
    uint32_t number = 0;
    std::vector<uint8_t> bytes;
};

struct Entry {
    enum class Kind { Key, Value } kind = Kind::Key;
    enum class Modifier { None, ForceRemove, NoRemove, Delete } modifier = Modifier::None;
    std::string name;
    bool hasValue = false; // a key's unnamed value, or always for a value entry
    Value value;
    std::vector<Entry> children;
};

struct RootBlock {
    Root root = Root::ClassesRoot;
    std::vector<Entry> entries;
};

using Script = std::vector<RootBlock>;

// Replaces %% by % and %name% by its value. Over-long name: kFail; unknown name or no closing
// percent sign: kSyntax.
Result Preprocess(std::string_view text, const Replacements& replacements, std::string* out);

// Parses preprocessed text. Syntax errors: kSyntax; an over-long token or an odd number of hex
// digits: kFail.
Result Parse(std::string_view text, Script* script);

// Preprocesses, parses and runs a script. In register mode a root block that fails is taken back
// (run once more in unregister mode) and its failure is returned; root blocks before it stay.
// Unregister mode reports syntax errors only: keys that are missing or cannot be removed are
// passed over.
Result RunScript(std::string_view text, const Replacements& replacements, Mode mode,
                 Registry& registry);

// The same on a parsed script.
Result Run(const Script& script, Mode mode, Registry& registry);

// Doubles every apostrophe, so that the text survives as the inside of a quoted token.
std::string DoubleApostrophes(std::string_view text);

} // namespace qm::reg
