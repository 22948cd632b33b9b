#include "package/msi/user_registry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <regex>
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

TypeLibrary ReadTypeLibrary(std::string_view idl) {
    // Comments first: a commented-out attribute must not count.
    static const std::regex comment(R"(//[^\n]*|/\*[\s\S]*?\*/)");
    const std::string text = std::regex_replace(std::string(idl), comment, " ");
    // A definition, not a coclass's reference to an interface ("[default] interface I;").
    static const std::regex declaration(R"(\[([^\]]*)\]\s*(interface|library)\s+(\w+)\s*[:{])");
    static const std::regex uuid(
        R"(\buuid\s*\(\s*([0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12})\s*\))");
    static const std::regex version(R"(\bversion\s*\(\s*(\d+)\.(\d+)\s*\))");
    static const std::regex lcid(R"(\blcid\s*\(\s*(\d+)\s*\))");
    static const std::regex helpstring(R"re(\bhelpstring\s*\(\s*"([^"]*)"\s*\))re");
    static const std::regex automation(R"(\b(dual|oleautomation)\b)");

    TypeLibrary library;
    bool found = false;
    for (std::sregex_iterator it(text.begin(), text.end(), declaration), end; it != end; ++it) {
        const std::string attributes = (*it)[1];
        const std::string name = (*it)[3];
        std::smatch m;
        if (!std::regex_search(attributes, m, uuid)) {
            throw std::runtime_error(name + " has no uuid");
        }
        const std::string id = "{" + Upper(m[1]) + "}";
        if ((*it)[2] == "interface") {
            // The platform records only the interfaces its marshaler can serve.
            if (std::regex_search(attributes, automation)) {
                library.interfaces.push_back({id, name});
            }
            continue;
        }
        if (found) {
            throw std::runtime_error("more than one library: " + library.description + ", " + name);
        }
        found = true;
        library.id = id;
        if (!std::regex_search(attributes, m, version)) {
            throw std::runtime_error("the library " + name + " has no version");
        }
        library.version = std::to_string(std::stoul(m[1])) + "." + std::to_string(std::stoul(m[2]));
        library.lcid = std::regex_search(attributes, m, lcid) ? std::stoul(m[1]) : 0;
        library.description = std::regex_search(attributes, m, helpstring) ? m[1].str() : name;
        const struct {
            const char* word;
            uint32_t flag;
        } flags[] = {{"restricted", 1}, {"control", 2}, {"hidden", 4}};
        for (const auto& f : flags) {
            if (std::regex_search(attributes, std::regex(std::string("\\b") + f.word + "\\b"))) {
                library.flags |= f.flag;
            }
        }
        // A library read from a file reports LIBFLAG_FHASDISKIMAGE, and its registration
        // records the flags that the library reports.
        library.flags |= 8;
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
