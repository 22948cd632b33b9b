#include "package/msi/user_registry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace qm::msi {
namespace {

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

// The registry's names are compared without regard to case; what was written keeps its order.
struct RecordingRegistry::Node {
    std::string name;
    bool created = false; // by a script or a recorded value, not one of the fixed roots
    std::vector<std::unique_ptr<Node>> children;
    std::vector<std::pair<std::string, reg::Value>> values;

    Node* Child(std::string_view childName) const {
        for (const auto& child : children) {
            if (SameName(child->name, childName)) {
                return child.get();
            }
        }
        return nullptr;
    }
    Node* Make(const std::string& childName) {
        if (Node* existing = Child(childName)) {
            return existing;
        }
        children.push_back(std::make_unique<Node>());
        children.back()->name = childName;
        children.back()->created = true;
        return children.back().get();
    }
    void Remove(std::string_view childName) {
        std::erase_if(children,
                      [&](const auto& child) { return SameName(child->name, childName); });
    }
};

namespace {

using Node = RecordingRegistry::Node;

Node* AsNode(reg::Registry::Key key) {
    return reinterpret_cast<Node*>(key);
}

reg::Registry::Key AsKey(Node* node) {
    return reinterpret_cast<reg::Registry::Key>(node);
}

void CollectRows(const Node& node, const std::string& path, std::vector<Row>* rows) {
    for (const auto& [name, value] : node.values) {
        rows->push_back(Row{path, name, value, false});
    }
    if (node.created && node.values.empty() && node.children.empty()) {
        rows->push_back(Row{path, "", {}, true});
    }
    for (const auto& child : node.children) {
        CollectRows(*child, path.empty() ? child->name : path + "\\" + child->name, rows);
    }
}

} // namespace

RecordingRegistry::RecordingRegistry() : currentUser_(std::make_unique<Node>()) {
    Node* software = currentUser_->Make("Software");
    classes_ = software->Make("Classes");
    software->created = classes_->created = false;
}

RecordingRegistry::~RecordingRegistry() = default;

reg::Registry::Key RecordingRegistry::RootKey(reg::Root root) {
    switch (root) {
    case reg::Root::ClassesRoot:
        return AsKey(classes_);
    case reg::Root::CurrentUser:
        return AsKey(currentUser_.get());
    default:
        refusedRoot = true;
        return 0;
    }
}

bool RecordingRegistry::Open(Key parent, const std::string& name, Access, Key* key) {
    Node* found = parent == 0 ? nullptr : AsNode(parent)->Child(name);
    if (found == nullptr) {
        return false;
    }
    *key = AsKey(found);
    return true;
}

bool RecordingRegistry::Create(Key parent, const std::string& name, Key* key) {
    if (parent == 0) {
        return false;
    }
    *key = AsKey(AsNode(parent)->Make(name));
    return true;
}

bool RecordingRegistry::Set(Key key, const std::string& valueName, reg::Value value) {
    auto& values = AsNode(key)->values;
    auto same = [&](const auto& v) { return SameName(v.first, valueName); };
    if (auto it = std::find_if(values.begin(), values.end(), same); it != values.end()) {
        it->second = std::move(value);
    } else {
        values.emplace_back(valueName, std::move(value));
    }
    return true;
}

bool RecordingRegistry::SetString(Key key, const std::string& valueName, const std::string& text) {
    reg::Value value;
    value.text = text;
    return Set(key, valueName, std::move(value));
}

bool RecordingRegistry::SetNumber(Key key, const std::string& valueName, uint32_t number) {
    reg::Value value;
    value.type = reg::Value::Type::Number;
    value.number = number;
    return Set(key, valueName, std::move(value));
}

bool RecordingRegistry::SetBytes(Key key, const std::string& valueName,
                                 const std::vector<uint8_t>& bytes) {
    reg::Value value;
    value.type = reg::Value::Type::Bytes;
    value.bytes = bytes;
    return Set(key, valueName, std::move(value));
}

void RecordingRegistry::DeleteValue(Key key, const std::string& valueName) {
    std::erase_if(AsNode(key)->values, [&](const auto& v) { return SameName(v.first, valueName); });
}

void RecordingRegistry::DeleteTree(Key parent, const std::string& name) {
    AsNode(parent)->Remove(name);
}

void RecordingRegistry::DeleteKey(Key parent, const std::string& name) {
    Node* child = AsNode(parent)->Child(name);
    if (child != nullptr && child->children.empty()) {
        AsNode(parent)->Remove(name);
    }
}

uint32_t RecordingRegistry::CountSubkeys(Key key) {
    return static_cast<uint32_t>(AsNode(key)->children.size());
}

bool RecordingRegistry::HasNamedValues(Key key) {
    const auto& values = AsNode(key)->values;
    return std::any_of(values.begin(), values.end(),
                       [](const auto& v) { return !v.first.empty(); });
}

void RecordingRegistry::SetClassesString(const std::vector<std::string>& path,
                                         const std::string& valueName, const std::string& text) {
    Node* node = classes_;
    for (const std::string& name : path) {
        node = node->Make(name);
    }
    SetString(AsKey(node), valueName, text);
}

std::vector<Row> RecordingRegistry::Rows() const {
    std::vector<Row> rows;
    CollectRows(*currentUser_, "", &rows);
    return rows;
}

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// The text without its comments; a comment's place keeps a space, so that words stay apart.
std::string WithoutComments(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            size_t end = text.find('"', i + 1);
            end = end == std::string_view::npos ? text.size() : end + 1;
            out.append(text.substr(i, end - i));
            i = end - 1;
        } else if (text.substr(i, 2) == "//") {
            i = std::min(text.find('\n', i), text.size()) - 1;
            out += ' ';
        } else if (text.substr(i, 2) == "/*") {
            size_t end = text.find("*/", i + 2);
            i = end == std::string_view::npos ? text.size() : end + 1;
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

// The end of what starts at `at` (a '[' or a '('), past its closing bracket; strings inside do
// not count. npos when it is not closed.
size_t PastClosing(std::string_view text, size_t at) {
    const char open = text[at], close = open == '[' ? ']' : ')';
    int depth = 0;
    for (size_t i = at; i < text.size(); ++i) {
        if (text[i] == '"') {
            i = text.find('"', i + 1);
            if (i == std::string_view::npos) {
                return i;
            }
        } else if (text[i] == open) {
            ++depth;
        } else if (text[i] == close && --depth == 0) {
            return i + 1;
        }
    }
    return std::string_view::npos;
}

size_t SkipSpace(std::string_view text, size_t at) {
    while (at < text.size() && IsSpace(text[at])) {
        ++at;
    }
    return at;
}

std::string_view Word(std::string_view text, size_t* at) {
    size_t start = *at;
    while (*at < text.size() && IsWordChar(text[*at])) {
        ++*at;
    }
    return text.substr(start, *at - start);
}

// An attribute list's items: each a name and what its parentheses hold ("" without them).
std::vector<std::pair<std::string, std::string>> Attributes(std::string_view list) {
    std::vector<std::pair<std::string, std::string>> items;
    size_t at = 0;
    while ((at = SkipSpace(list, at)) < list.size()) {
        std::string name(Word(list, &at));
        if (name.empty()) {
            throw std::runtime_error("an attribute list that cannot be read: [" +
                                     std::string(list) + "]");
        }
        std::string argument;
        at = SkipSpace(list, at);
        if (at < list.size() && list[at] == '(') {
            size_t end = PastClosing(list, at);
            if (end == std::string_view::npos) {
                throw std::runtime_error("an unclosed attribute: " + name);
            }
            argument = std::string(list.substr(at + 1, end - at - 2));
            at = SkipSpace(list, end);
        }
        items.emplace_back(std::move(name), std::move(argument));
        if (at < list.size() && list[at] != ',') {
            throw std::runtime_error("an attribute list that cannot be read: [" +
                                     std::string(list) + "]");
        }
        ++at;
    }
    return items;
}

std::string Trimmed(std::string_view text) {
    size_t start = SkipSpace(text, 0), end = text.size();
    while (end > start && IsSpace(text[end - 1])) {
        --end;
    }
    return std::string(text.substr(start, end - start));
}

// A uuid attribute's GUID, upper case and in braces; empty when it is not one.
std::string Guid(std::string_view text) {
    std::string guid = Upper(Trimmed(text));
    if (guid.size() != 36) {
        return {};
    }
    for (size_t i = 0; i < guid.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? guid[i] != '-' : !std::isxdigit(static_cast<unsigned char>(guid[i]))) {
            return {};
        }
    }
    return "{" + guid + "}";
}

} // namespace

TypeLibrary ReadTypeLibrary(std::string_view idl) {
    const std::string text = WithoutComments(idl);
    const std::string_view all = text;
    TypeLibrary library;
    bool found = false;
    for (size_t at = all.find('['); at != std::string_view::npos; at = all.find('[', at)) {
        const size_t end = PastClosing(all, at);
        if (end == std::string_view::npos) {
            break;
        }
        const std::string_view list = all.substr(at + 1, end - at - 2);
        size_t next = SkipSpace(all, end);
        const std::string_view kind = Word(all, &next);
        next = SkipSpace(all, next);
        const std::string name(Word(all, &next));
        next = SkipSpace(all, next);
        // A definition, not a coclass's reference to an interface ("[default] interface I;").
        if ((kind != "interface" && kind != "library") || name.empty() || next >= all.size() ||
            (all[next] != ':' && all[next] != '{')) {
            at = end;
            continue;
        }
        at = next;
        std::string id, version, helpstring;
        bool automation = false;
        uint32_t lcid = 0, flags = 0;
        for (const auto& [attribute, argument] : Attributes(list)) {
            if (attribute == "uuid") {
                id = Guid(argument);
            } else if (attribute == "version") {
                version = Trimmed(argument);
            } else if (attribute == "lcid") {
                lcid = static_cast<uint32_t>(std::stoul(Trimmed(argument)));
            } else if (attribute == "helpstring") {
                const std::string quoted = Trimmed(argument);
                helpstring = quoted.size() >= 2 ? quoted.substr(1, quoted.size() - 2) : quoted;
            } else if (attribute == "dual" || attribute == "oleautomation") {
                automation = true;
            } else if (attribute == "restricted") {
                flags |= 1;
            } else if (attribute == "control") {
                flags |= 2;
            } else if (attribute == "hidden") {
                flags |= 4;
            }
        }
        if (id.empty()) {
            throw std::runtime_error(name + " has no uuid");
        }
        if (kind == "interface") {
            // The platform records only the interfaces its marshaler can serve.
            if (automation) {
                library.interfaces.push_back({id, name});
            }
            continue;
        }
        if (found) {
            throw std::runtime_error("more than one library: " + library.description + ", " + name);
        }
        const size_t dot = version.find('.');
        if (version.empty() || dot == std::string::npos ||
            version.find_first_not_of("0123456789.") != std::string::npos) {
            throw std::runtime_error("the library " + name + " has no version major.minor");
        }
        found = true;
        library.id = id;
        library.version = std::to_string(std::stoul(version.substr(0, dot))) + "." +
                          std::to_string(std::stoul(version.substr(dot + 1)));
        library.lcid = lcid;
        library.description = helpstring.empty() ? name : helpstring;
        // A library read from a file reports LIBFLAG_FHASDISKIMAGE, and its registration
        // records the flags that the library reports.
        library.flags = flags | 8;
    }
    if (!found) {
        throw std::runtime_error("the interface definitions declare no library");
    }
    return library;
}

void RecordTypeLibrary(RecordingRegistry& registry, const TypeLibrary& library,
                       Architecture architecture, const std::string& modulePath,
                       const std::string& folder) {
    char lcid[16];
    std::snprintf(lcid, sizeof lcid, "%x", library.lcid);
    const std::vector<std::string> base{"TypeLib", library.id, library.version};
    auto under = [&](std::vector<std::string> path, std::initializer_list<std::string> more) {
        path.insert(path.end(), more);
        return path;
    };
    registry.SetClassesString(base, "", library.description);
    registry.SetClassesString(
        under(base, {lcid, architecture == Architecture::X64 ? "win64" : "win32"}), "", modulePath);
    registry.SetClassesString(under(base, {"FLAGS"}), "", std::to_string(library.flags));
    registry.SetClassesString(under(base, {"HELPDIR"}), "", folder);
    // Dual interfaces are marshalled by the automation marshaler, from the type library.
    const std::string automationMarshaler = "{00020424-0000-0000-C000-000000000046}";
    for (const TypeLibrary::Interface& i : library.interfaces) {
        const std::vector<std::string> key{"Interface", i.id};
        registry.SetClassesString(key, "", i.name);
        registry.SetClassesString(under(key, {"ProxyStubClsid"}), "", automationMarshaler);
        registry.SetClassesString(under(key, {"ProxyStubClsid32"}), "", automationMarshaler);
        registry.SetClassesString(under(key, {"TypeLib"}), "", library.id);
        registry.SetClassesString(under(key, {"TypeLib"}), "Version", library.version);
    }
}

std::string LiteralFormatted(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '[') {
            out += "[\\[]";
        } else if (c == ']') {
            out += "[\\]]";
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

std::string XmlAttribute(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string WithReferences(std::string text, const std::vector<Reference>& references) {
    for (const Reference& r : references) {
        for (size_t at = text.find(r.standIn); at != std::string::npos;
             at = text.find(r.standIn, at + r.formatted.size())) {
            text.replace(at, r.standIn.size(), r.formatted);
        }
    }
    return text;
}

} // namespace

std::string WixRegistryValues(const std::vector<Row>& rows, std::string_view indent,
                              const std::vector<Reference>& references) {
    std::string out;
    for (const Row& row : rows) {
        const std::string key = WithReferences(LiteralFormatted(row.key), references);
        std::string name, type = "string", value;
        if (row.keyOnly) {
            // "*": the key is made at install, and deleted with what it holds at uninstall.
            name = "*";
        } else {
            name = WithReferences(LiteralFormatted(row.name), references);
            switch (row.value.type) {
            case reg::Value::Type::String:
                if (row.value.text.empty()) {
                    throw std::runtime_error(row.key + ": an empty string value");
                }
                value = WithReferences(LiteralFormatted(row.value.text), references);
                // A leading "#" would make the installer read a number; "##" is one "#".
                if (value[0] == '#') {
                    value.insert(0, "#");
                }
                break;
            case reg::Value::Type::Number:
                type = "integer";
                value = std::to_string(row.value.number);
                break;
            case reg::Value::Type::Bytes:
                type = "binary";
                for (uint8_t byte : row.value.bytes) {
                    char hex[3];
                    std::snprintf(hex, sizeof hex, "%02X", byte);
                    value += hex;
                }
                break;
            }
        }
        out +=
            std::string(indent) + "<RegistryValue Root=\"HKCU\" Key=\"" + XmlAttribute(key) + "\"";
        if (!name.empty()) {
            out += " Name=\"" + XmlAttribute(name) + "\"";
        }
        out += " Type=\"" + type + "\" Value=\"" + XmlAttribute(value) + "\" />\n";
    }
    return out;
}

} // namespace qm::msi
