#include "platform/page_buffer.h"

#include <windows.h>

namespace korvalt::platform {

PageBuffer::PageBuffer(size_t bytes) {
  if (bytes == 0) return;
  void* data = ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (data == nullptr) return;
  Data = static_cast<uint8_t*>(data);
  Bytes = bytes;
}

PageBuffer::~PageBuffer() {
  reset();
}

void PageBuffer::reset() {
  if (Data != nullptr) ::VirtualFree(Data, 0, MEM_RELEASE);
  Data = nullptr;
  Bytes = 0;
}

}  // namespace korvalt::platform
