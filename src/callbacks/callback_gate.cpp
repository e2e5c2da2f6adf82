#include "callbacks/callback_gate.h"

// Placeholder until the callback bridge lands.
bool in_tavix_callback() noexcept { return false; }
void close_callback_gate() {}
