#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "thread/spin_mutex.h"

namespace korvalt {

// A small settings store over one XML file: values live in the "value" attribute of the element
// that a path names ("Root/Child/Leaf", the root element first). Path arguments are printf
// formats; a formatted path is cut at 1023 characters. For creation the last step may carry
// predicates, Leaf[@id="7"], which become the new element's attributes.
//
// Whitespace text nodes are kept as they are through a load and a save, so a file that another
// recorder wrote keeps its layout. Saving is atomic: the document is written beside the file,
// flushed to disk and renamed over it.
class CXMLSettingsAPI {
 public:
  static constexpr int32_t kFail = static_cast<int32_t>(0x80004005);  // missing or empty file, I/O error
  static constexpr int32_t kParseError = static_cast<int32_t>(0x80004006);  // exists but does not parse
  static constexpr size_t kMaxPathLength = 1023;
  // Largest file Open reads. Save never writes a larger one: it fails and leaves the file as it
  // was, so nothing the store writes is ever refused when it is read back.
  static constexpr int64_t kMaxFileBytes = 32 * 1024 * 1024;

  CXMLSettingsAPI();
  virtual ~CXMLSettingsAPI();
  CXMLSettingsAPI(const CXMLSettingsAPI&) = delete;
  CXMLSettingsAPI& operator=(const CXMLSettingsAPI&) = delete;

  // 0 on success; kFail for a missing or empty file or one that cannot be read, kParseError for one
  // that does not parse (or is larger than kMaxFileBytes or too deep to be a settings file). The file is
  // looked up in the storage directory. Counted: each successful Open needs its Close.
  int32_t Open(const std::string& fileName);
  // Remaining open count.
  int32_t Close();
  // False when the file could not be written or the document is larger than kMaxFileBytes.
  bool Save();
  // 1 saved, 0 save failed. Independent of any open document. Writes an empty root element into
  // the storage directory. initializeCom is kept for the interface's sake; nothing needs it here.
  int32_t CreateDocument(const std::string& rootName, const std::string& fileName, bool initializeCom);

  // The "value" attribute of the first element the path names; empty when missing or closed.
  std::string GetValue(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Above 0 on success; creates missing elements along the path.
  int32_t SetValue(const std::string& value, const char* format, ...) __attribute__((format(printf, 3, 4)));
  bool NodeExists(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Removes every element the path names, not only the first: reads find an entry in whichever
  // of repeated elements holds it (a file edited by hand may repeat one), so removing only the
  // first would leave entries that come back. 1 when any was removed. The root element itself is
  // never removed: the file would no longer parse.
  int32_t RemoveNode(const char* format, ...) __attribute__((format(printf, 2, 3)));

  void SetSaveEachChange(bool save);
  bool IsOpen();
  // Full path of the open file.
  std::string GetFilePath();

  // Where preset files live: $QUENLARK_PRESET_DIR when set and non-empty, else the host
  // executable's directory; ending with '/', or empty when neither is known.
  static std::string StorageDirectory();

 private:
  struct Document;  // the parsed tree (pugixml), private to the implementation

  // Both called with NodeLock held.
  bool SaveLocked() QL_REQUIRES(NodeLock);
  int32_t SetValueLocked(const std::string& value, const std::string& path) QL_REQUIRES(NodeLock);

  CSpinMutex OpenLock;  // guards OpenCount; taken before NodeLock
  int32_t OpenCount QL_GUARDED_BY(OpenLock) = 0;
  CSpinMutex NodeLock;  // guards everything below: every node operation and Save
  std::unique_ptr<Document> Doc QL_GUARDED_BY(NodeLock);  // null while closed
  std::string FilePath QL_GUARDED_BY(NodeLock);
  bool SaveEachChange QL_GUARDED_BY(NodeLock) = false;
};

}  // namespace korvalt
