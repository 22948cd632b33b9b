// Corvane.dll's export layer: each function of engine/core/functions.inc is exported under its
// ordinal (the build writes Corvane.def from the same rows) and forwards to the engine core, with
// the calling convention that Quillmark.dll calls it by.

#include "engine/core/corvane.h"

#define QM_ENGINE_FUNCTION(name, ordinal, parameters, arguments)                                   \
    extern "C" int32_t __cdecl name parameters {                                                   \
        return corvane::name arguments;                                                            \
    }
#include "engine/core/functions.inc"
