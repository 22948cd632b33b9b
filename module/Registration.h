// Self-registration: each class's registry script run in register or unregister mode, then the
// type library registered or unregistered.
#pragma once

#include <windows.h>

namespace qm::registration {

HRESULT RegisterServer() noexcept;
HRESULT UnregisterServer() noexcept;

} // namespace qm::registration
