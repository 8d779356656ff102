#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace testsupport {

TempDir::TempDir(const std::string& prefix) {
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  std::random_device random;
  for (int attempt = 0; attempt < 100 && Dir.empty(); ++attempt) {
    const std::filesystem::path candidate = base / (prefix + "-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate, error)) Dir = candidate.generic_string();
  }
}

TempDir::~TempDir() {
  if (Dir.empty()) return;
  std::error_code error;
  std::filesystem::remove_all(Dir, error);
}

bool TempDir::Has(const std::string& name) const {
  std::error_code error;
  return std::filesystem::exists(Dir + "/" + name, error);
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
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(Dir, error))
    names.push_back(entry.path().filename().string());
  return names;
}

}  // namespace testsupport
