// The process's heap.
#pragma once

namespace platform {

// Hands the heap's free pages back to the system.
void ReturnFreeMemory();

} // namespace platform
