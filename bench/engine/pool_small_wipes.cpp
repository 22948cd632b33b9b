// The engine's pool as it was before it wiped every freed block: small pieces only. Linked into
// a twin of Corvane.dll for the benchmarks alone (its definitions stand in for the engine's own
// pool.cpp), so that compare-pe.sh can show what wiping large blocks costs. Never shipped.
#define CORVANE_POOL_WIPES_SMALL_PIECES_ONLY
#include "engine/core/pool.cpp"
