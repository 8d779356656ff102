#pragma once
// Slot 0 of the host interfaces that module classes implement (see driver/host/abi.h): an
// ordinary virtual destructor on Linux, Microsoft's scalar deleting destructor on Windows.

#include <memory>

#include "driver/host/abi.h"

namespace korvalt {

// What slot 0 does on Windows: destroy, and free the memory when bit 0 of flags is set.
template <class T>
void* DestroyFromHost(T* self, unsigned int flags) noexcept {
  try {
    if ((flags & 1U) != 0) {
      delete self;
    } else {
      self->~T();
    }
  } catch (...) {
  }
  return self;
}

// Destroys a module object held through a host interface (the driver given back to a delete
// export): through slot 0 where that is the only destructor the interface has.
template <class Interface>
void DeleteThroughHostInterface(Interface* object) {
  if constexpr (QUENLARK_MSVC_LAYOUT) {
    object->ScalarDeletingDestructor(1U);
  } else {
    delete object;
  }
}

// Owner of a module object held through a host interface.
struct HostInterfaceDelete {
  template <class Interface>
  void operator()(Interface* object) const {
    DeleteThroughHostInterface(object);
  }
};
template <class Interface>
using HostInterfacePtr = std::unique_ptr<Interface, HostInterfaceDelete>;

}  // namespace korvalt

// In the class body of every module class that implements a host interface's slot 0.
#if QUENLARK_MSVC_LAYOUT
#define QUENLARK_HOST_DESTRUCTOR                                                  \
  void* QUENLARK_THISCALL ScalarDeletingDestructor(unsigned int flags) override { \
    return ::korvalt::DestroyFromHost(this, flags);                               \
  }
#else
#define QUENLARK_HOST_DESTRUCTOR
#endif
