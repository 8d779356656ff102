#include <malloc.h>

#include "platform/free_memory.h"

namespace korvalt::platform {

void FreeMemory::GiveBack() {
#if defined(__GLIBC__)
  // Also gives back whole pages inside free blocks in the middle of an arena, not only its top.
  malloc_trim(0);
#endif
}

}  // namespace korvalt::platform
