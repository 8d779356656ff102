#include "platform/free_memory.h"

namespace korvalt::platform {

// The Windows heap decommits the pages of free blocks itself once enough of them are free.
void FreeMemory::GiveBack() {}

}  // namespace korvalt::platform
