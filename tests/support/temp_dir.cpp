#include "support/temp_dir.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testsupport {

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) Dir = pattern;
}

TempDir::~TempDir() {
  if (Dir.empty()) return;
  for (const std::string& name : Files()) unlink((Dir + "/" + name).c_str());
  rmdir(Dir.c_str());
}

bool TempDir::Has(const std::string& name) const {
  return access((Dir + "/" + name).c_str(), F_OK) == 0;
}

std::string TempDir::Read(const std::string& name) const {
  std::ifstream in(Dir + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool TempDir::Write(const std::string& name, const std::string& text) const {
  std::ofstream file(Dir + "/" + name, std::ios::binary);
  file << text;
  return static_cast<bool>(file);
}

std::vector<std::string> TempDir::Files() const {
  std::vector<std::string> names;
  DIR* dir = opendir(Dir.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

}  // namespace testsupport
