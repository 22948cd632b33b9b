// An engine double for fault tests: it passes every call on to the real engine, counts the calls,
// makes the chosen one fail as an engine failure does (no output), and keeps the blocks it handed
// out until they come back through CV_Free, so that a test sees any block left behind.
#pragma once

#include "external/engine.h"

#include <cstddef>

namespace faults {

inline constexpr int32_t kInjected = -1999;

void Bind();   // replaces the bound engine
void Unbind(); // restores it

void FailCall(int index); // the index-th call from now fails (1-based); 0: none fails
int Calls();              // calls since the last FailCall
size_t LiveBlocks();      // blocks handed out and not yet released

} // namespace faults
