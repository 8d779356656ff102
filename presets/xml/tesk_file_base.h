#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvalt {

// Read-only handle on an existing file, closed with the object. The settings store uses it to see
// whether a file is there and not empty, and to read it through the same descriptor.
class CTeskFileBase {
 public:
  CTeskFileBase() = default;
  virtual ~CTeskFileBase();
  CTeskFileBase(const CTeskFileBase&) = delete;
  CTeskFileBase& operator=(const CTeskFileBase&) = delete;

  // Opens an existing file for reading; false for an empty path or when it cannot be opened.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return Handle != kNoHandle; }
  // Size in bytes; -1 when closed or unknown.
  int64_t Size() const;
  // Reads the whole file from its start into bytes; false on a read error or when the file holds
  // more than maxBytes.
  bool ReadAll(std::string& bytes, size_t maxBytes) const;

  const std::string& GetPath() const { return Path; }

 private:
  static constexpr intptr_t kNoHandle = -1;
  std::string Path;
  intptr_t Handle = kNoHandle;  // a descriptor (Linux) or a file handle (Windows)
};

}  // namespace korvalt
