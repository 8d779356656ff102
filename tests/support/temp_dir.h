#pragma once

#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under /tmp, removed with every file in it at the end.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "quenlark-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return Dir; }
  bool Has(const std::string& name) const;
  // The whole file, "" when it cannot be read.
  std::string Read(const std::string& name) const;
  bool Write(const std::string& name, const std::string& text) const;
  // Names of the files in it, in no particular order.
  std::vector<std::string> Files() const;

 private:
  std::string Dir;
};

}  // namespace testsupport
