// The certificate store's core: plain C++ over a folder tree, with the same certificate functions
// and signatures as the exports of Ledra.dll (see functions.inc for their contracts). The
// registry functions live in the DLL's export layer, which reaches the real registry.
//
// What the store's numbers mean:
//   kind 0   the user's own certificates, each kept with its encrypted private key, on a medium;
//   kind 1   recipients' certificates (no keys), in one folder of their own; the medium argument
//            is still range-checked but selects nothing;
//   medium   0..3, a folder of its own (see layout.h); functions without a medium argument read
//            medium 0 for kind 0;
//   site     accepted and ignored;
//   password the store's access password "5821", checked where a function takes one.
// Every function returns a negative code of errors.h on failure and never throws.
#pragma once

#include "platform/abi.h"
#include "store/core/errors.h"

#include <string>

namespace ledra {

// The functions of functions.inc that the core makes (those of the "core" layer).
#define QM_STORE_FUNCTION(name, layer, unbound, parameters, arguments)                             \
    QM_STORE_CORE_##layer(name, parameters)
#define QM_STORE_CORE_core(name, parameters) int32_t name parameters;
#define QM_STORE_CORE_registry(name, parameters)
#include "store/core/functions.inc"
#undef QM_STORE_CORE_core
#undef QM_STORE_CORE_registry

// The code page of the narrow DN texts that the functions hand out and compare against. A Windows
// process tells the store its ANSI code page (949 where the system runs); a native process
// defaults to UTF-8 (65001).
void SetAnsiCodePage(int codePage) noexcept;
int AnsiCodePage() noexcept;

// A root that takes the place of the environment's, for a process that runs the core over stores
// of its own one after another (the store's native tests). Empty: the root comes from this
// process's environment (see layout.h).
void SetStoreRootOverride(const std::string& root);

} // namespace ledra
