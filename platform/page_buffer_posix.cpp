#include "platform/page_buffer.h"

#include <sys/mman.h>

namespace korvalt::platform {

PageBuffer::PageBuffer(size_t bytes) {
  if (bytes == 0) return;
  void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) return;
  Data = static_cast<uint8_t*>(data);
  Bytes = bytes;
}

PageBuffer::~PageBuffer() {
  reset();
}

void PageBuffer::reset() {
  if (Data != nullptr) ::munmap(Data, Bytes);
  Data = nullptr;
  Bytes = 0;
}

}  // namespace korvalt::platform
