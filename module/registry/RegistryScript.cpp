#include "module/registry/RegistryScript.h"

#include <array>
#include <cctype>
#include <new>

namespace qm::reg {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool SameWord(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

struct RootName {
    std::string_view shortName;
    std::string_view longName;
    Root root;
};

constexpr std::array<RootName, 7> kRoots{{
    {"HKCR", "HKEY_CLASSES_ROOT", Root::ClassesRoot},
    {"HKCU", "HKEY_CURRENT_USER", Root::CurrentUser},
    {"HKLM", "HKEY_LOCAL_MACHINE", Root::LocalMachine},
    {"HKU", "HKEY_USERS", Root::Users},
    {"HKPD", "HKEY_PERFORMANCE_DATA", Root::PerformanceData},
    {"HKDD", "HKEY_DYN_DATA", Root::DynData},
    {"HKCC", "HKEY_CURRENT_CONFIG", Root::Config},
}};

bool FindRoot(std::string_view name, Root* root) {
    for (const RootName& r : kRoots) {
        if (SameWord(name, r.shortName) || SameWord(name, r.longName)) {
            *root = r.root;
            return true;
        }
    }
    return false;
}

// Keys that ForceRemove never deletes: removing them would take every other program's classes
// or type libraries along.
bool IsSharedContainer(std::string_view name) {
    return SameWord(name, "CLSID") || SameWord(name, "TYPELIB");
}

struct Token {
    std::string text;
    bool quoted = false;

    // Structural words and keywords count only when written bare: 'Delete' in apostrophes is a
    // key named Delete.
    bool Is(std::string_view word) const { return !quoted && SameWord(text, word); }
};

class Tokenizer {
public:
    explicit Tokenizer(std::string_view text) : text_(text) {}

    // kOk with a token, kOk with *end set at the end of the text, or the error.
    Result Next(Token* token, bool* end) {
        *end = false;
        while (pos_ < text_.size() && IsSpace(text_[pos_])) {
            ++pos_;
        }
        if (pos_ == text_.size()) {
            *end = true;
            return kOk;
        }
        token->text.clear();
        token->quoted = text_[pos_] == '\'';
        if (token->quoted) {
            ++pos_;
            for (;;) {
                if (pos_ == text_.size()) {
                    return kSyntax; // the text ends inside the quotes
                }
                char c = text_[pos_++];
                if (c == '\'') {
                    if (pos_ < text_.size() && text_[pos_] == '\'') {
                        ++pos_; // a doubled apostrophe stands for one
                    } else {
                        break;
                    }
                }
                if (!Append(token, c)) {
                    return kFail;
                }
            }
            return kOk;
        }
        while (pos_ < text_.size() && !IsSpace(text_[pos_])) {
            if (!Append(token, text_[pos_++])) {
                return kFail;
            }
        }
        return kOk;
    }

    // The next token, which must exist: the end of the text here is a syntax error.
    Result Require(Token* token) {
        bool end = false;
        Result r = Next(token, &end);
        if (r == kOk && end) {
            return kSyntax;
        }
        return r;
    }

    // Whether the next token is the bare word; consumes it only then.
    Result Accept(std::string_view word, bool* accepted) {
        size_t saved = pos_;
        Token token;
        bool end = false;
        Result r = Next(&token, &end);
        *accepted = r == kOk && !end && token.Is(word);
        if (!*accepted) {
            pos_ = saved;
        }
        return r == kFail ? r : kOk; // a syntax error here surfaces at the next Require
    }

private:
    static bool Append(Token* token, char c) {
        if (token->text.size() + 1 >= kTokenLimit) {
            return false;
        }
        token->text.push_back(c);
        return true;
    }

    std::string_view text_;
    size_t pos_ = 0;
};

bool IsStructural(const Token& t) {
    return t.Is("{") || t.Is("}") || t.Is("=");
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = Lower(c);
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// A 'd' value: decimal (a leading minus allowed, stored as its 32-bit pattern) or 0x-prefixed hex.
bool ParseNumber(std::string_view text, uint32_t* number) {
    bool negative = false;
    unsigned base = 10;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    } else if (text.size() > 2 && text[0] == '0' && Lower(text[1]) == 'x') {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return false;
    }
    uint64_t value = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) {
            return false;
        }
        value = value * base + static_cast<unsigned>(digit);
        if (value > (negative ? 0x80000000ull : 0xFFFFFFFFull)) {
            return false;
        }
    }
    *number = static_cast<uint32_t>(negative ? 0 - value : value);
    return true;
}

Result ParseBytes(std::string_view text, std::vector<uint8_t>* bytes) {
    if (text.size() % 2 != 0) {
        return kFail;
    }
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return kSyntax;
        }
        bytes->push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return kOk;
}

class Parser {
public:
    explicit Parser(std::string_view text) : tokens_(text) {}

    Result ParseScript(Script* script) {
        for (;;) {
            Token token;
            bool end = false;
            if (Result r = tokens_.Next(&token, &end); r != kOk) {
                return r;
            }
            if (end) {
                return kOk;
            }
            RootBlock block;
            if (token.quoted || !FindRoot(token.text, &block.root)) {
                return kSyntax;
            }
            if (Result r = Expect("{"); r != kOk) {
                return r;
            }
            if (Result r = ParseEntries(1, &block.entries); r != kOk) {
                return r;
            }
            script->push_back(std::move(block));
        }
    }

private:
    Result Expect(std::string_view word) {
        Token token;
        if (Result r = tokens_.Require(&token); r != kOk) {
            return r;
        }
        return token.Is(word) ? kOk : kSyntax;
    }

    // Entries up to and including the closing brace of their block.
    Result ParseEntries(int depth, std::vector<Entry>* entries) {
        if (depth > kDepthLimit) {
            return kSyntax;
        }
        for (;;) {
            Token token;
            if (Result r = tokens_.Require(&token); r != kOk) {
                return r;
            }
            if (token.Is("}")) {
                return kOk;
            }
            Entry entry;
            Result r =
                token.Is("val") ? ParseValueEntry(&entry) : ParseKeyEntry(token, depth, &entry);
            if (r != kOk) {
                return r;
            }
            entries->push_back(std::move(entry));
        }
    }

    Result ParseValueEntry(Entry* entry) {
        entry->kind = Entry::Kind::Value;
        entry->hasValue = true;
        Token name;
        if (Result r = tokens_.Require(&name); r != kOk) {
            return r;
        }
        if (IsStructural(name)) {
            return kSyntax;
        }
        entry->name = std::move(name.text);
        if (Result r = Expect("="); r != kOk) {
            return r;
        }
        return ParseValue(&entry->value);
    }

    Result ParseKeyEntry(Token token, int depth, Entry* entry) {
        using Modifier = Entry::Modifier;
        Modifier modifier = token.Is("ForceRemove") ? Modifier::ForceRemove
                            : token.Is("NoRemove")  ? Modifier::NoRemove
                            : token.Is("Delete")    ? Modifier::Delete
                                                    : Modifier::None;
        if (modifier != Modifier::None) {
            if (Result r = tokens_.Require(&token); r != kOk) {
                return r;
            }
        }
        // A key name names one key: a path would reach past the keys that unregistration checks.
        if (IsStructural(token) || token.text.empty() ||
            token.text.find('\\') != std::string::npos) {
            return kSyntax;
        }
        entry->kind = Entry::Kind::Key;
        entry->modifier = modifier;
        entry->name = std::move(token.text);
        bool accepted = false;
        if (Result r = tokens_.Accept("=", &accepted); r != kOk) {
            return r;
        }
        if (accepted) {
            entry->hasValue = true;
            if (Result r = ParseValue(&entry->value); r != kOk) {
                return r;
            }
        }
        if (Result r = tokens_.Accept("{", &accepted); r != kOk) {
            return r;
        }
        return accepted ? ParseEntries(depth + 1, &entry->children) : kOk;
    }

    Result ParseValue(Value* value) {
        Token type;
        Token text;
        if (Result r = tokens_.Require(&type); r != kOk) {
            return r;
        }
        if (Result r = tokens_.Require(&text); r != kOk) {
            return r;
        }
        if (IsStructural(text)) {
            return kSyntax;
        }
        if (type.Is("s")) {
            value->type = Value::Type::String;
            value->text = std::move(text.text);
            return kOk;
        }
        if (type.Is("d")) {
            value->type = Value::Type::Number;
            return ParseNumber(text.text, &value->number) ? kOk : kSyntax;
        }
        if (type.Is("b")) {
            value->type = Value::Type::Bytes;
            return ParseBytes(text.text, &value->bytes);
        }
        return kSyntax;
    }

    Tokenizer tokens_;
};

// A key the processor opened, closed on every path.
class OpenKey {
public:
    explicit OpenKey(Registry& registry) : registry_(registry) {}
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (key_ != 0) {
            registry_.Close(key_);
        }
    }
    Registry::Key* out() { return &key_; }
    Registry::Key get() const { return key_; }

private:
    Registry& registry_;
    Registry::Key key_ = 0;
};

class Runner {
public:
    explicit Runner(Registry& registry) : registry_(registry) {}

    Result Register(Registry::Key parent, const std::vector<Entry>& entries) {
        for (const Entry& entry : entries) {
            if (Result r = RegisterEntry(parent, entry); r != kOk) {
                return r;
            }
        }
        return kOk;
    }

    void Unregister(Registry::Key parent, const std::vector<Entry>& entries) {
        for (const Entry& entry : entries) {
            UnregisterEntry(parent, entry);
        }
    }

private:
    bool SetValue(Registry::Key key, const std::string& name, const Value& value) {
        switch (value.type) {
        case Value::Type::String:
            return registry_.SetString(key, name, value.text);
        case Value::Type::Number:
            return registry_.SetNumber(key, name, value.number);
        case Value::Type::Bytes:
            return registry_.SetBytes(key, name, value.bytes);
        }
        return false;
    }

    Result RegisterEntry(Registry::Key parent, const Entry& entry) {
        if (entry.kind == Entry::Kind::Value) {
            return SetValue(parent, entry.name, entry.value) ? kOk : kSyntax;
        }
        if (entry.modifier == Entry::Modifier::Delete) {
            registry_.DeleteTree(parent, entry.name);
            return kOk;
        }
        if (entry.modifier == Entry::Modifier::ForceRemove && !IsSharedContainer(entry.name)) {
            registry_.DeleteTree(parent, entry.name);
        }
        OpenKey key(registry_);
        if (!registry_.Open(parent, entry.name, Registry::Access::Full, key.out()) &&
            !registry_.Open(parent, entry.name, Registry::Access::Read, key.out()) &&
            !registry_.Create(parent, entry.name, key.out())) {
            return kSyntax;
        }
        if (entry.hasValue && !SetValue(key.get(), std::string(), entry.value)) {
            return kSyntax;
        }
        return Register(key.get(), entry.children);
    }

    void UnregisterEntry(Registry::Key parent, const Entry& entry) {
        if (entry.kind == Entry::Kind::Value) {
            registry_.DeleteValue(parent, entry.name);
            return;
        }
        if (entry.modifier == Entry::Modifier::Delete) {
            return; // it deletes at registration and leaves nothing to take back
        }
        uint32_t subkeys = 0;
        {
            OpenKey key(registry_);
            if (!registry_.Open(parent, entry.name, Registry::Access::Full, key.out())) {
                return;
            }
            if (registry_.CountSubkeys(key.get()) > 0 || registry_.HasNamedValues(key.get())) {
                Unregister(key.get(), entry.children);
            }
            // Subkeys the script does not name belong to someone else: the key stays for them.
            subkeys = registry_.CountSubkeys(key.get());
        }
        if (subkeys == 0 && entry.modifier != Entry::Modifier::NoRemove) {
            registry_.DeleteKey(parent, entry.name);
        }
    }

    Registry& registry_;
};

} // namespace

std::string DoubleApostrophes(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 4);
    for (char c : text) {
        out.push_back(c);
        if (c == '\'') {
            out.push_back(c);
        }
    }
    return out;
}

Result Preprocess(std::string_view text, const Replacements& replacements, std::string* out) {
    try {
        out->clear();
        out->reserve(text.size() + 256);
        size_t pos = 0;
        while (pos < text.size()) {
            size_t percent = text.find('%', pos);
            if (percent == std::string_view::npos) {
                out->append(text.substr(pos));
                break;
            }
            out->append(text.substr(pos, percent - pos));
            if (percent + 1 < text.size() && text[percent + 1] == '%') {
                out->push_back('%');
                pos = percent + 2;
                continue;
            }
            size_t close = text.find('%', percent + 1);
            if (close == std::string_view::npos) {
                return kSyntax;
            }
            std::string_view name = text.substr(percent + 1, close - percent - 1);
            if (name.size() >= kReplacementNameLimit) {
                return kFail;
            }
            const std::string* value = nullptr;
            for (const auto& [key, replacement] : replacements) {
                if (SameWord(key, name)) {
                    value = &replacement;
                    break;
                }
            }
            if (value == nullptr) {
                return kSyntax;
            }
            out->append(*value);
            pos = close + 1;
        }
        return kOk;
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
}

Result Parse(std::string_view text, Script* script) {
    try {
        script->clear();
        return Parser(text).ParseScript(script);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
}

Result Run(const Script& script, Mode mode, Registry& registry) {
    try {
        Runner runner(registry);
        for (const RootBlock& block : script) {
            Registry::Key root = registry.RootKey(block.root);
            if (mode == Mode::Unregister) {
                runner.Unregister(root, block.entries);
                continue;
            }
            if (Result r = runner.Register(root, block.entries); r != kOk) {
                runner.Unregister(root, block.entries); // take back what this block wrote
                return r;
            }
        }
        return kOk;
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
}

Result RunScript(std::string_view text, const Replacements& replacements, Mode mode,
                 Registry& registry) {
    std::string expanded;
    if (Result r = Preprocess(text, replacements, &expanded); r != kOk) {
        return r;
    }
    Script script;
    if (Result r = Parse(expanded, &script); r != kOk) {
        return r;
    }
    return Run(script, mode, registry);
}

} // namespace qm::reg
