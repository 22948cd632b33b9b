#include "browser/host/Classes.h"

#include "automation/QuillmarkInterfaces.h"
#include "platform/SecureWipe.h"
#include "platform/StringConversion.h"

#include <oleauto.h>

#include <cstdio>
#include <utility>

namespace qm::browser {

namespace {

struct ClassName {
    const char* name;
    const CLSID* clsid;
    const IID* iid; // its dual interface
};

const ClassName kClassNames[] = {
    {"SecureSession", &CLSID_SecureSession, &IID_ISecureSession},
    {"Veyra", &CLSID_Veyra, &IID_IVeyra},
    {"DSSession", &CLSID_DSSession, &IID_IDSSession},
};

using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

Failure Fail(std::string name, std::string message) {
    return Failure{std::move(name), std::move(message)};
}

// Type information owned for a scope.
class TypeAttr {
public:
    TypeAttr(ITypeInfo* info) : info_(info) {
        if (FAILED(info->GetTypeAttr(&attr_))) {
            attr_ = nullptr;
        }
    }
    ~TypeAttr() {
        if (attr_ != nullptr) {
            info_->ReleaseTypeAttr(attr_);
        }
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    const TYPEATTR* operator->() const { return attr_; }
    explicit operator bool() const { return attr_ != nullptr; }

private:
    ITypeInfo* info_;
    TYPEATTR* attr_ = nullptr;
};

class FuncDesc {
public:
    FuncDesc(ITypeInfo* info, UINT index) : info_(info) {
        if (FAILED(info->GetFuncDesc(index, &desc_))) {
            desc_ = nullptr;
        }
    }
    ~FuncDesc() {
        if (desc_ != nullptr) {
            info_->ReleaseFuncDesc(desc_);
        }
    }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    const FUNCDESC* operator->() const { return desc_; }
    explicit operator bool() const { return desc_ != nullptr; }

private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
};

// A VARIANT cleared (and a string in it wiped: it may be a password) when it goes.
class Variant {
public:
    Variant() { VariantInit(&value_); }
    ~Variant() {
        if (V_VT(&value_) == VT_BSTR && V_BSTR(&value_) != nullptr) {
            SecureWipe(V_BSTR(&value_), SysStringByteLen(V_BSTR(&value_)));
        }
        VariantClear(&value_);
    }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* get() { return &value_; }

private:
    VARIANT value_;
};

// The page's value as a script engine hands it to a method: strings as BSTRs, whole numbers that
// fit as 32-bit integers, other numbers as doubles, true and false as booleans, null as null.
HRESULT ToVariant(const Value& value, VARIANT* out) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        Wiped<wchar_t> wide = Utf8ToUtf16<Wiped<wchar_t>>(*text);
        V_VT(out) = VT_BSTR;
        V_BSTR(out) = SysAllocStringLen(wide.data(), UINT(wide.size()));
        return V_BSTR(out) != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    if (const auto* number = std::get_if<int32_t>(&value)) {
        V_VT(out) = VT_I4;
        V_I4(out) = *number;
    } else if (const auto* real = std::get_if<double>(&value)) {
        V_VT(out) = VT_R8;
        V_R8(out) = *real;
    } else if (const auto* flag = std::get_if<bool>(&value)) {
        V_VT(out) = VT_BOOL;
        V_BOOL(out) = *flag ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
        V_VT(out) = VT_NULL;
    }
    return S_OK;
}

// What a parameter of the interface takes, in the form that DispCallFunc passes.
VARTYPE CallType(VARTYPE declared) {
    switch (declared) {
    case VT_INT:
        return VT_I4;
    case VT_UINT:
        return VT_UI4;
    default:
        return declared;
    }
}

} // namespace

// The methods of a class's dual interface as its type information declares them: a name, the
// slot in the interface's table, the types of the parameters the caller gives, and the type of
// the [out, retval] result.
class Interface {
public:
    struct Method {
        std::wstring name;
        SHORT slotOffset = 0;
        std::vector<VARTYPE> params;
        VARTYPE result = VT_EMPTY; // VT_EMPTY: none
    };

    // From the module's type library; null when it does not describe the interface as a dual one.
    static std::shared_ptr<const Interface> Read(ITypeLib* library, const IID& iid) {
        ComPtr<ITypeInfo> info;
        if (FAILED(library->GetTypeInfoOfGuid(iid, info.out())) || !info) {
            return nullptr;
        }
        // A dual interface's dispatch description leads to its table's description.
        {
            TypeAttr attr(info.get());
            if (!attr) {
                return nullptr;
            }
            if (attr->typekind == TKIND_DISPATCH) {
                HREFTYPE table = 0;
                ComPtr<ITypeInfo> tableInfo;
                if (FAILED(info->GetRefTypeOfImplType(UINT(-1), &table)) ||
                    FAILED(info->GetRefTypeInfo(table, tableInfo.out()))) {
                    return nullptr;
                }
                info = std::move(tableInfo);
            }
        }
        TypeAttr attr(info.get());
        if (!attr || attr->typekind != TKIND_INTERFACE) {
            return nullptr;
        }
        auto result = std::make_shared<Interface>();
        result->iid_ = attr->guid;
        // The interface's own functions only: the inherited ones (QueryInterface, Release,
        // Invoke...) are no page's business.
        for (UINT i = 0; i < attr->cFuncs; ++i) {
            FuncDesc desc(info.get(), i);
            if (!desc || desc->funckind != FUNC_PUREVIRTUAL || desc->invkind != INVOKE_FUNC ||
                (desc->wFuncFlags & (FUNCFLAG_FRESTRICTED | FUNCFLAG_FHIDDEN)) != 0) {
                continue;
            }
            Method method;
            BSTR name = nullptr;
            if (FAILED(info->GetDocumentation(desc->memid, &name, nullptr, nullptr, nullptr))) {
                continue;
            }
            UniqueBstr owned(name);
            method.name = WideText(owned.get());
            method.slotOffset = desc->oVft;
            bool usable = desc->elemdescFunc.tdesc.vt == VT_HRESULT;
            for (SHORT p = 0; p < desc->cParams && usable; ++p) {
                const ELEMDESC& param = desc->lprgelemdescParam[p];
                if ((param.paramdesc.wParamFlags & PARAMFLAG_FRETVAL) != 0) {
                    usable = param.tdesc.vt == VT_PTR && p == desc->cParams - 1;
                    if (usable) {
                        method.result = param.tdesc.lptdesc->vt;
                    }
                } else {
                    method.params.push_back(param.tdesc.vt);
                }
            }
            if (usable) {
                result->methods_.push_back(std::move(method));
            }
        }
        return result;
    }

    const IID& iid() const { return iid_; }
    const std::vector<Method>& methods() const { return methods_; }

    // By name, as automation finds names: without regard to the case of ASCII letters.
    const Method* Find(std::string_view name) const {
        std::wstring wide = Utf8ToUtf16(name);
        for (const Method& method : methods_) {
            if (CompareStringOrdinal(method.name.c_str(), int(method.name.size()), wide.c_str(),
                                     int(wide.size()), TRUE) == CSTR_EQUAL) {
                return &method;
            }
        }
        return nullptr;
    }

private:
    IID iid_{};
    std::vector<Method> methods_;
};

Callable::Callable(ComPtr<IUnknown> object, std::shared_ptr<const Interface> methods)
    : object_(std::move(object)), methods_(std::move(methods)) {}

Callable Callable::Share() const {
    object_->AddRef();
    return Callable(ComPtr<IUnknown>::Adopt(object_.get()), methods_);
}

std::vector<std::string> Callable::MethodNames() const {
    std::vector<std::string> names;
    for (const Interface::Method& method : methods_->methods()) {
        names.push_back(Utf16ToUtf8(method.name));
    }
    return names;
}

std::variant<Value, Failure> Callable::Call(std::string_view name, const std::vector<Value>& args) {
    const Interface::Method* method = methods_->Find(name);
    if (method == nullptr) {
        return Fail("NotSupportedError", "no such method: " + std::string(name));
    }
    const std::string shown = Utf16ToUtf8(method->name);
    if (args.size() != method->params.size()) {
        return Fail("TypeError", shown + " takes " + std::to_string(method->params.size()) +
                                     " argument(s), not " + std::to_string(args.size()));
    }
    ComPtr<IUnknown> table;
    if (FAILED(object_->QueryInterface(methods_->iid(), table.out_void()))) {
        return Fail("OperationError", "the object does not offer its interface");
    }

    // The arguments in the parameters' own types, converted by the platform's rules, as the
    // type library's dispatch converts a script's arguments.
    const size_t count = args.size() + (method->result != VT_EMPTY ? 1 : 0);
    std::vector<Variant> given(args.size());
    std::vector<Variant> passed(args.size());
    std::vector<VARTYPE> types(count);
    std::vector<VARIANTARG*> pointers(count);
    for (size_t i = 0; i < args.size(); ++i) {
        if (HRESULT hr = ToVariant(args[i], given[i].get()); FAILED(hr)) {
            return Fail("OperationError", "no memory for the arguments");
        }
        types[i] = CallType(method->params[i]);
        if (FAILED(VariantChangeType(passed[i].get(), given[i].get(), 0, types[i]))) {
            return Fail("TypeError", shown + ": argument " + std::to_string(i + 1) +
                                         (types[i] == VT_BSTR ? " cannot be taken as a string"
                                                              : " cannot be taken as a number"));
        }
        pointers[i] = passed[i].get();
    }
    // The result's slot, which the method writes.
    BSTR text = nullptr;
    LONG number = 0;
    VARIANT slot;
    VariantInit(&slot);
    if (method->result == VT_BSTR) {
        V_VT(&slot) = VT_BYREF | VT_BSTR;
        V_BSTRREF(&slot) = &text;
    } else if (method->result != VT_EMPTY) {
        V_VT(&slot) = VT_BYREF | VT_I4;
        V_I4REF(&slot) = &number;
    }
    if (method->result != VT_EMPTY) {
        types.back() = V_VT(&slot);
        pointers.back() = &slot;
    }

    // The method's HRESULT comes back as VT_ERROR, as the type library's own dispatch asks for it.
    VARIANT returned;
    VariantInit(&returned);
    HRESULT called = DispCallFunc(table.get(), ULONG_PTR(method->slotOffset), CC_STDCALL, VT_ERROR,
                                  UINT(count), types.data(), pointers.data(), &returned);
    UniqueBstr result(text);
    if (FAILED(called)) {
        return Fail("OperationError", shown + " could not be called (" + Hex(called) + ")");
    }
    const HRESULT hr = V_ERROR(&returned);
    if (hr == E_ACCESSDENIED) {
        return Fail("NotAllowedError",
                    "Quillmark refused the call: this site may not use it here (the site lock)");
    }
    if (FAILED(hr)) {
        return Fail("OperationError", shown + " failed (" + Hex(hr) + ")");
    }
    if (method->result == VT_BSTR) {
        if (!result) {
            return Value(nullptr); // a failed method's string stays null
        }
        std::wstring_view wide(result.get(), SysStringLen(result.get()));
        Value value(Utf16ToUtf8(wide));
        SecureWipe(result.get(), SysStringByteLen(result.get()));
        return value;
    }
    if (method->result != VT_EMPTY) {
        return Value(int32_t(number));
    }
    return Value(nullptr);
}

std::unique_ptr<Classes> Classes::Load(const std::wstring& folder, std::string& problem) {
    const std::wstring path = folder + L"\\Quillmark.dll";
    // By its full path, its own folder first for what it loads: never a search of the current
    // folder or PATH, where a planted DLL could stand in for it.
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        problem = "Quillmark.dll could not be loaded from " + Utf16ToUtf8(folder) + " (error " +
                  std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    // Kept for the process's life: the objects and the consent the module remembers live in it.
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (getClassObject == nullptr) {
        problem =
            Utf16ToUtf8(path) + " is not Quillmark's module (it exports no DllGetClassObject)";
        return nullptr;
    }
    // The type library that the module carries, read from the file: a module that is not
    // registered has none in the registry.
    ComPtr<ITypeLib> library;
    if (HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.out()); FAILED(hr)) {
        problem = Utf16ToUtf8(path) + " carries no type library that can be read (" + Hex(hr) + ")";
        return nullptr;
    }
    auto classes = std::unique_ptr<Classes>(new Classes());
    for (const ClassName& entry : kClassNames) {
        Class c{{}, Interface::Read(library.get(), *entry.iid)};
        HRESULT hr = getClassObject(*entry.clsid, IID_IClassFactory, c.factory.out_void());
        if (FAILED(hr) || !c.factory || !c.methods) {
            problem = Utf16ToUtf8(path) + " does not serve " + entry.name + " (" + Hex(hr) + ")";
            return nullptr;
        }
        classes->classes_.emplace(entry.name, std::move(c));
    }
    return classes;
}

std::variant<Callable, Failure> Classes::Create(std::string_view className) {
    auto found = classes_.find(className);
    if (found == classes_.end()) {
        return Fail("NotSupportedError", "no such class: " + std::string(className) +
                                             " (SecureSession, Veyra or DSSession)");
    }
    Class& c = found->second;
    ComPtr<IUnknown> object;
    HRESULT hr = c.factory->CreateInstance(nullptr, IID_IUnknown, object.out_void());
    if (FAILED(hr) || !object) {
        return Fail("OperationError",
                    "Quillmark could not make a " + std::string(className) + " (" + Hex(hr) + ")");
    }
    return Callable(std::move(object), c.methods);
}

} // namespace qm::browser
