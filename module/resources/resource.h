// Resource identifiers of Quillmark.dll's own resources, shared by its resource script and by the
// class table that names them. Plain #defines that the resource compiler understands.
#pragma once

// Each class's registry script (REGISTRY), which registration runs.
#define IDR_SECURESESSION 102
#define IDR_VEYRA 103
#define IDR_DSSESSION 104
