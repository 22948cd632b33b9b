// Ledra.dll's exports: each function of store/core/functions.inc under its own name, __cdecl. The
// build writes Ledra.def from the same rows; exports.cpp forwards those of the core, registry.cpp
// makes those of the registry.
#pragma once

#include "platform/abi.h"

#define QM_STORE_FUNCTION(name, layer, unbound, parameters, arguments)                             \
    extern "C" int32_t __cdecl name parameters;
#include "store/core/functions.inc"
