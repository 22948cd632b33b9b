// Quillmark.dll's three classes as the host serves them: the module is loaded by its full path
// from the host's own folder (whether or not it is registered: the host asks the module itself for
// its class objects and reads the type library the module carries), and each object's methods are
// called through its dual interface as the type library describes it, so that a page in any browser
// calls the very methods that a page in Internet Explorer calls, with the same names, arguments,
// results and error codes. A method's own HRESULT is kept: S_FALSE with a null string is a failed
// method (the page gets null), E_ACCESSDENIED the site lock's refusal.
#pragma once

#include "browser/host/Protocol.h"
#include "platform/Raii.h"

#include <windows.h>

#include <oaidl.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qm::browser {

// One class's methods, read once from its type information.
class Interface;

// An object of one of the classes, with its methods.
class Callable {
public:
    Callable(ComPtr<IUnknown> object, std::shared_ptr<const Interface> methods);

    // Another hold on the same object, for a call that must outlive the page's own hold (a page
    // can let its object go while the object's dialog is up).
    Callable Share() const;

    IUnknown* object() const { return object_.get(); }
    std::vector<std::string> MethodNames() const;

    // Calls the method with the page's arguments, converted as a script engine converts them.
    // The method's result, or why the call did not happen or was refused.
    std::variant<Value, Failure> Call(std::string_view method, const std::vector<Value>& args);

private:
    ComPtr<IUnknown> object_;
    std::shared_ptr<const Interface> methods_;
};

class Classes {
public:
    // The module in `folder`; null with the reason when it cannot be had.
    static std::unique_ptr<Classes> Load(const std::wstring& folder, std::string& problem);

    // A new object of the class named as its ProgID names it ("SecureSession", "Veyra",
    // "DSSession"), not yet given a site.
    std::variant<Callable, Failure> Create(std::string_view className);

private:
    struct Class {
        ComPtr<IClassFactory> factory;
        std::shared_ptr<const Interface> methods;
    };

    std::map<std::string, Class, std::less<>> classes_;
};

} // namespace qm::browser
