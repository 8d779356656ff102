#pragma once

#include <cstddef>
#include <cstdint>

namespace korvalt::platform {

// Memory taken from the system in whole pages and given back whole when destroyed. For large
// buffers that each session makes and drops (a receive batch is 1 MiB): carved from the
// allocator's arenas instead, the pages a session touched stay resident after it ends, and where
// the next one lands differs, so resident memory creeps up over weeks of reconnects.
class PageBuffer {
 public:
  PageBuffer() = default;
  // Empty (get() null) when the system refuses.
  explicit PageBuffer(size_t bytes);
  ~PageBuffer();
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  uint8_t* get() const { return Data; }
  size_t size() const { return Bytes; }
  explicit operator bool() const { return Data != nullptr; }
  void reset();

 private:
  uint8_t* Data = nullptr;
  size_t Bytes = 0;
};

}  // namespace korvalt::platform
