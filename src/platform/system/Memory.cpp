#include "platform/system/Memory.h"

#include <malloc.h>

namespace platform {

void ReturnFreeMemory() {
    malloc_trim(0);
}

} // namespace platform
