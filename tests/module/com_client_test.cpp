// A C++ client of the registered Quillmark.dll, for what a script cannot reach: name lookup in
// either case, DISPIDs that name no member, type information, safety options and the site; and,
// with the library loaded directly, the class objects and the unload test.
#include "automation/QuillmarkInterfaces.h"
#include "platform/Raii.h"
#include "tests/module/built_module.h"

#include <gtest/gtest.h>

#include <objsafe.h>

namespace {

class ComApartment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
};

const auto* const kApartment = ::testing::AddGlobalTestEnvironment(new ComApartment);

template <class T> using Ref = qm::ComPtr<T>;

HRESULT Create(REFCLSID clsid, REFIID iid, void** out) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out);
}

DISPID IdOf(IDispatch* object, const wchar_t* name, HRESULT* hr = nullptr) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 12345;
    HRESULT result = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (hr != nullptr) {
        *hr = result;
    }
    return id;
}

HRESULT CallNoArguments(IDispatch* object, DISPID id, VARIANT* result) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXCEPINFO exception{};
    UINT argumentError = 0;
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, result,
                          &exception, &argumentError);
}

// A site that counts its references and, when released, records whether the server had already
// let go of its lock by then.
class CountingSite final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!IsEqualIID(riid, IID_IUnknown)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        if (canUnloadNow != nullptr) {
            unloadAnswerAtRelease = canUnloadNow();
        }
        return --refs;
    }
    ULONG refs = 1;
    HRESULT(WINAPI* canUnloadNow)() = nullptr;
    HRESULT unloadAnswerAtRelease = E_UNEXPECTED;
};

} // namespace

TEST(Objects, AnswerTheirInterfacesInOrderAndNothingElse) {
    Ref<ISecureSession> session;
    ASSERT_EQ(Create(CLSID_SecureSession, IID_ISecureSession, session.out_void()), S_OK);
    Ref<IUnknown> unknown;
    Ref<IDispatch> dispatch;
    Ref<IObjectSafety> safety;
    Ref<IObjectWithSite> withSite;
    ASSERT_EQ(session->QueryInterface(IID_IUnknown, unknown.out_void()), S_OK);
    ASSERT_EQ(session->QueryInterface(IID_IDispatch, dispatch.out_void()), S_OK);
    ASSERT_EQ(session->QueryInterface(IID_IObjectSafety, safety.out_void()), S_OK);
    ASSERT_EQ(session->QueryInterface(IID_IObjectWithSite, withSite.out_void()), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(session.get()));
    EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(session.get()));
    // Every interface counts on the one count of the object: five references so far.
    EXPECT_EQ(safety->AddRef(), 6u);
    EXPECT_EQ(withSite->Release(), 5u);

    for (const IID* iid : {&IID_IVeyra, &IID_IProvideClassInfo, &IID_ISupportErrorInfo,
                           &IID_IConnectionPointContainer, &IID_IClassFactory}) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(session->QueryInterface(*iid, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
    }
}

TEST(Objects, AllThreeAreCreatableByProgId) {
    for (const wchar_t* progId :
         {L"Quillmark.SecureSession", L"Quillmark.Veyra.1", L"Quillmark.DSSession"}) {
        CLSID clsid;
        ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK) << progId;
        Ref<IDispatch> object;
        EXPECT_EQ(Create(clsid, IID_IDispatch, object.out_void()), S_OK) << progId;
    }
}

TEST(Dispatch, NamesAreFoundInExactAndInOtherCase) {
    Ref<IDispatch> session;
    ASSERT_EQ(Create(CLSID_SecureSession, IID_IDispatch, session.out_void()), S_OK);
    EXPECT_EQ(IdOf(session.get(), L"Base64Encode"), 1);
    EXPECT_EQ(IdOf(session.get(), L"base64encode"), 1); // the type information's own lookup
    EXPECT_EQ(IdOf(session.get(), L"getKEYIV"), 9);
    EXPECT_EQ(IdOf(session.get(), L"RecoverFile"), 10);
    HRESULT hr = S_OK;
    IdOf(session.get(), L"NoSuchMethod", &hr);
    EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);

    Ref<IDispatch> validator;
    ASSERT_EQ(Create(CLSID_DSSession, IID_IDispatch, validator.out_void()), S_OK);
    EXPECT_EQ(IdOf(validator.get(), L"GetErrorCode"), 2);
    EXPECT_EQ(IdOf(validator.get(), L"RETRIEVECRLFROMLDAP"), 5);

    // Several names in one call: each is answered, and the first miss stops the call.
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"GetErrorString"),
                        const_cast<LPOLESTR>(L"GeneralValidation")};
    DISPID ids[2] = {0, 0};
    ASSERT_EQ(validator->GetIDsOfNames(IID_NULL, names, 2, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 3);
    EXPECT_EQ(ids[1], 1);
}

TEST(Dispatch, InvokeRunsTheMemberOfTheDispidOrRefusesOne) {
    Ref<IDispatch> session;
    ASSERT_EQ(Create(CLSID_SecureSession, IID_IDispatch, session.out_void()), S_OK);
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(CallNoArguments(session.get(), 10, &result), S_OK); // RecoverFile
    VariantClear(&result);
    ASSERT_EQ(CallNoArguments(session.get(), 7, &result), S_OK); // GetErrorCode
    ASSERT_EQ(VariantChangeType(&result, &result, 0, VT_I4), S_OK);
    EXPECT_EQ(V_I4(&result), 33);
    VariantClear(&result);

    Ref<IDispatch> validator;
    ASSERT_EQ(Create(CLSID_DSSession, IID_IDispatch, validator.out_void()), S_OK);
    EXPECT_EQ(CallNoArguments(validator.get(), 7, &result), DISP_E_MEMBERNOTFOUND);
    VariantClear(&result);
    EXPECT_EQ(CallNoArguments(validator.get(), 2, &result), S_OK); // GetErrorCode
    VariantClear(&result);

    // Arguments are converted by the type information; a missing one is its error too.
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    UINT argumentError = 0;
    EXPECT_EQ(
        session->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, &argumentError),
        DISP_E_BADPARAMCOUNT);
}

TEST(Dispatch, TypeInformationIsOneAndTheSameWhateverTheIndex) {
    Ref<IDispatch> session;
    ASSERT_EQ(Create(CLSID_SecureSession, IID_IDispatch, session.out_void()), S_OK);
    UINT count = 0;
    ASSERT_EQ(session->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(session->GetTypeInfoCount(nullptr), E_POINTER);
    EXPECT_EQ(session->GetTypeInfo(0, 0, nullptr), E_POINTER);

    Ref<ITypeInfo> first;
    Ref<ITypeInfo> fifth;
    ASSERT_EQ(session->GetTypeInfo(0, 0, first.out()), S_OK);
    ASSERT_EQ(session->GetTypeInfo(5, 0x0412, fifth.out()), S_OK);
    EXPECT_EQ(first.get(), fifth.get());
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(first->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, IID_ISecureSession));
    first->ReleaseTypeAttr(attr);

    // Shared by every object of the class, kept apart from the other classes.
    Ref<IDispatch> other;
    Ref<ITypeInfo> otherInfo;
    ASSERT_EQ(Create(CLSID_SecureSession, IID_IDispatch, other.out_void()), S_OK);
    ASSERT_EQ(other->GetTypeInfo(0, 0, otherInfo.out()), S_OK);
    EXPECT_EQ(otherInfo.get(), first.get());
    Ref<IDispatch> directory;
    ASSERT_EQ(Create(CLSID_Veyra, IID_IDispatch, directory.out_void()), S_OK);
    ASSERT_EQ(directory->GetTypeInfo(0, 0, otherInfo.out()), S_OK);
    EXPECT_NE(otherInfo.get(), first.get());
}

TEST(Safety, OptionsAreStoredPerObjectForInterfacesItAnswersTo) {
    Ref<IObjectSafety> safety;
    ASSERT_EQ(Create(CLSID_Veyra, IID_IObjectSafety, safety.out_void()), S_OK);
    DWORD supported = 7;
    DWORD enabled = 7;
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, DWORD(INTERFACESAFE_FOR_UNTRUSTED_CALLER));
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);

    ASSERT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1), S_OK);
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IVeyra, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, 1u); // one word for all the object's interfaces
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 0), E_FAIL);
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, 1u);
    ASSERT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 0), S_OK);
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, 0u);

    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_ISecureSession, 1, 1), E_NOINTERFACE);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_ISecureSession, &supported, &enabled),
              E_NOINTERFACE);
    EXPECT_EQ(supported, 0u);
    EXPECT_EQ(enabled, 0u);
}

TEST(Site, IsKeptAndHandedBack) {
    Ref<IObjectWithSite> object;
    ASSERT_EQ(Create(CLSID_DSSession, IID_IObjectWithSite, object.out_void()), S_OK);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->GetSite(IID_IUnknown, &out), E_FAIL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(object->GetSite(IID_IUnknown, nullptr), E_POINTER);

    CountingSite site;
    ASSERT_EQ(object->SetSite(&site), S_OK);
    EXPECT_EQ(site.refs, 2u);
    Ref<IUnknown> handedBack;
    ASSERT_EQ(object->GetSite(IID_IUnknown, handedBack.out_void()), S_OK);
    EXPECT_EQ(handedBack.get(), &site);
    handedBack.reset();
    EXPECT_EQ(object->GetSite(IID_IDispatch, &out), E_NOINTERFACE); // the site's own answer
    ASSERT_EQ(object->SetSite(nullptr), S_OK);
    EXPECT_EQ(site.refs, 1u);
    EXPECT_EQ(object->GetSite(IID_IUnknown, &out), E_FAIL);
}

// The library loaded directly, so that its class objects and unload test can be watched.
class LoadedModule : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryW(qmtest::ModulePath().c_str());
        ASSERT_NE(module_, nullptr);
        getClassObject_ = reinterpret_cast<decltype(getClassObject_)>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
        canUnloadNow_ = reinterpret_cast<decltype(canUnloadNow_)>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
        ASSERT_NE(getClassObject_, nullptr);
        ASSERT_NE(canUnloadNow_, nullptr);
        ASSERT_EQ(canUnloadNow_(), S_OK) << "an earlier test left an object alive";
    }
    void TearDown() override {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }

    // An object made by the class's class object, which is let go at once.
    HRESULT Make(REFCLSID clsid, REFIID iid, void** out) {
        Ref<IClassFactory> factory;
        HRESULT hr = getClassObject_(clsid, IID_IClassFactory, factory.out_void());
        return hr != S_OK ? hr : factory->CreateInstance(nullptr, iid, out);
    }

    HMODULE module_ = nullptr;
    HRESULT(WINAPI* getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(WINAPI* canUnloadNow_)() = nullptr;
};

TEST_F(LoadedModule, ClassObjectsAreCachedAndHeldOnlyByClients) {
    Ref<IClassFactory> first;
    Ref<IClassFactory> second;
    ASSERT_EQ(getClassObject_(CLSID_Veyra, IID_IClassFactory, first.out_void()), S_OK);
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    ASSERT_EQ(getClassObject_(CLSID_Veyra, IID_IUnknown, second.out_void()), S_OK);
    EXPECT_EQ(first.get(), second.get());
    first.reset();
    EXPECT_EQ(canUnloadNow_(), S_FALSE); // several client references count as one
    second.reset();
    EXPECT_EQ(canUnloadNow_(), S_OK);

    ASSERT_EQ(getClassObject_(CLSID_SecureSession, IID_IClassFactory, first.out_void()), S_OK);
    ASSERT_EQ(getClassObject_(CLSID_DSSession, IID_IClassFactory, second.out_void()), S_OK);
    EXPECT_NE(first.get(), second.get());
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject_(CLSID_SecureSession, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(1);
    const CLSID notOurs = {
        0x0c3d1e6a, 0x51f2, 0x4b0e, {0x9a, 0x33, 0x10, 0x2f, 0x7e, 0x61, 0x08, 0xd4}};
    EXPECT_EQ(getClassObject_(notOurs, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(getClassObject_(CLSID_Veyra, IID_IClassFactory, nullptr), E_POINTER);
}

TEST_F(LoadedModule, ObjectsAndLocksKeepTheLibraryLoaded) {
    Ref<ISecureSession> session;
    ASSERT_EQ(Make(CLSID_SecureSession, IID_ISecureSession, session.out_void()), S_OK);
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    session.reset();
    EXPECT_EQ(canUnloadNow_(), S_OK);

    Ref<IClassFactory> factory;
    ASSERT_EQ(getClassObject_(CLSID_SecureSession, IID_IClassFactory, factory.out_void()), S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory.reset();
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    ASSERT_EQ(getClassObject_(CLSID_SecureSession, IID_IClassFactory, factory.out_void()), S_OK);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    EXPECT_EQ(canUnloadNow_(), S_OK);
}

TEST_F(LoadedModule, RefusedCreationsLeaveNothingBehind) {
    Ref<IClassFactory> factory;
    ASSERT_EQ(getClassObject_(CLSID_DSSession, IID_IClassFactory, factory.out_void()), S_OK);
    CountingSite outer;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IDSSession, &out), CLASS_E_NOAGGREGATION);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IVeyra, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    factory.reset();
    EXPECT_EQ(canUnloadNow_(), S_OK); // no object stayed alive
}

TEST_F(LoadedModule, TheSiteIsReleasedLastWhenAnObjectDies) {
    Ref<IObjectWithSite> object;
    ASSERT_EQ(Make(CLSID_SecureSession, IID_IObjectWithSite, object.out_void()), S_OK);
    CountingSite site;
    ASSERT_EQ(object->SetSite(&site), S_OK);
    site.canUnloadNow = canUnloadNow_;
    object.reset();
    EXPECT_EQ(site.refs, 1u);
    EXPECT_EQ(site.unloadAnswerAtRelease, S_OK); // the object's lock was given back before
}
