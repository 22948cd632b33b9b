// The registry script processor fed any text, run to register and then to unregister over an
// in-memory registry. It must never crash, loop or read past its input.
#include "module/registry/RegistryScript.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace qm::reg;

// Keys are nodes of a tree; a handle is the node's address.
struct Node {
    std::map<std::string, std::unique_ptr<Node>> children;
    std::map<std::string, std::string> values;
};

class MemoryRegistry final : public Registry {
public:
    Key RootKey(Root root) override { return Handle(&roots_[int(root)]); }
    bool Open(Key parent, const std::string& name, Access, Key* key) override {
        auto it = At(parent)->children.find(name);
        if (it == At(parent)->children.end()) {
            return false;
        }
        *key = Handle(it->second.get());
        return true;
    }
    bool Create(Key parent, const std::string& name, Key* key) override {
        auto& child = At(parent)->children[name];
        if (!child) {
            child = std::make_unique<Node>();
        }
        *key = Handle(child.get());
        return true;
    }
    void Close(Key) override {}
    bool SetString(Key key, const std::string& name, const std::string& text) override {
        At(key)->values[name] = text;
        return true;
    }
    bool SetNumber(Key key, const std::string& name, uint32_t number) override {
        At(key)->values[name] = std::to_string(number);
        return true;
    }
    bool SetBytes(Key key, const std::string& name, const std::vector<uint8_t>& bytes) override {
        At(key)->values[name] = std::string(bytes.begin(), bytes.end());
        return true;
    }
    void DeleteValue(Key key, const std::string& name) override { At(key)->values.erase(name); }
    void DeleteTree(Key parent, const std::string& name) override {
        At(parent)->children.erase(name);
    }
    void DeleteKey(Key parent, const std::string& name) override {
        auto it = At(parent)->children.find(name);
        if (it != At(parent)->children.end() && it->second->children.empty()) {
            At(parent)->children.erase(it);
        }
    }
    uint32_t CountSubkeys(Key key) override { return uint32_t(At(key)->children.size()); }
    bool HasNamedValues(Key key) override {
        for (const auto& [name, value] : At(key)->values) {
            if (!name.empty()) {
                return true;
            }
        }
        return false;
    }

private:
    static Key Handle(Node* node) { return reinterpret_cast<Key>(node); }
    static Node* At(Key key) { return reinterpret_cast<Node*>(key); }
    Node roots_[7];
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the input's bytes, so that the sanitizer sees any read past the text.
    std::unique_ptr<char[]> text(new char[size]);
    std::copy(data, data + size, text.get());
    std::string_view script(text.get(), size);
    Replacements replacements = {{"Module", DoubleApostrophes("C:\\PROGRA~1\\It's\\QUILLM~1.DLL")}};
    MemoryRegistry registry;
    RunScript(script, replacements, Mode::Register, registry);
    RunScript(script, replacements, Mode::Unregister, registry);
    return 0;
}
