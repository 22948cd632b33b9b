// The interfaces, class identifiers and type library of QUILLMARKLib, as widl generates them from
// Quillmark.idl beside it.
#pragma once

#include <windows.h>

#include <oaidl.h>
#include <ocidl.h>

#include "Quillmark_idl.h"
