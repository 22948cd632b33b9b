// The table of classes: one row per scriptable class, each with its cached class object, and the
// two entry points that reach them (DllGetClassObject, DllCanUnloadNow).
#pragma once

#include <windows.h>

#include <unknwn.h>

#include <span>

namespace qm::classes {

using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID riid, void** out);

struct ClassEntry {
    const CLSID& clsid;
    UINT registryScript; // number of the class's REGISTRY resource
    InstanceCreator createInstance;
};

// SecureSession, Veyra, DSSession: registration runs in this order.
std::span<const ClassEntry> Rows() noexcept;

void Start(HINSTANCE instance) noexcept;
void SetTypeLibrary(const GUID& typeLibrary) noexcept;
// Releases the cached class objects, then runs the termination callbacks.
void End() noexcept;

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** out) noexcept;
HRESULT CanUnloadNow() noexcept;

} // namespace qm::classes
