// The preset file's save on Windows: a file another program holds for a moment, and directories
// deeper than the file functions' MAX_PATH.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/text.h"
#include "presets/xml/atomic_file.h"
#include "presets/xml/tesk_file_base.h"
#include "support/temp_dir.h"

namespace korvalt {
namespace {

// How long the other program keeps the file; well inside the save's patience, well beyond one try.
constexpr DWORD kHeldMs = 300;

std::wstring Extended(const std::string& path) {
  std::wstring wide = platform::Utf8ToWide(path);
  std::wstring full(32768, L'\0');
  const DWORD length =
      ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  full.resize(length);
  return L"\\\\?\\" + full;
}

// What a virus scanner or indexer does: opens the file to read it, sharing reading and writing but
// not deletion or renaming, and lets go a moment later.
TEST(AtomicFileWin32, ASaveWaitsForAProgramHoldingTheFileBriefly) {
  testsupport::TempDir dir;
  const std::string path = dir.Path() + "/QL-3110_cam.preset";
  ASSERT_TRUE(WriteFileAtomically(path, "old"));
  HANDLE held =
      ::CreateFileW(platform::Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::thread scanner([held] {
    ::Sleep(kHeldMs);
    ::CloseHandle(held);
  });
  const bool saved = WriteFileAtomically(path, "new");
  scanner.join();
  EXPECT_TRUE(saved);
  EXPECT_EQ(dir.Read("QL-3110_cam.preset"), "new");
  EXPECT_EQ(dir.Files().size(), 1U) << "no temporary file is left behind";
}

TEST(AtomicFileWin32, FilesBeyondMaxPathAreSavedReadAndMovedAside) {
  testsupport::TempDir dir;
  std::string deep = dir.Path();
  std::vector<std::wstring> made;
  while (deep.size() < MAX_PATH + 20) {
    deep += "/" + std::string(40, 'd');
    made.push_back(Extended(deep));
    ASSERT_NE(::CreateDirectoryW(made.back().c_str(), nullptr), 0) << deep.size();
  }
  const std::string path = deep + "/QL-6250_cam.preset";
  const std::string bytes = "<?xml version=\"1.0\"?>\n";
  EXPECT_TRUE(WriteFileAtomically(path, bytes));
  EXPECT_EQ(FileSizeOf(path), static_cast<int64_t>(bytes.size()));
  EXPECT_FALSE(FileIsMissingOrEmpty(path));
  CTeskFileBase file;
  std::string read;
  EXPECT_TRUE(file.Open(path) && file.ReadAll(read, 1024));
  EXPECT_EQ(read, bytes);
  file.Close();
  const std::string aside = MoveFileAside(path, ".corrupt");
  EXPECT_EQ(aside, path + ".corrupt");

  ::DeleteFileW(Extended(aside).c_str());
  ::DeleteFileW(Extended(path).c_str());
  for (auto it = made.rbegin(); it != made.rend(); ++it) ::RemoveDirectoryW(it->c_str());
}

}  // namespace
}  // namespace korvalt
