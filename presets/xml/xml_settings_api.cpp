#include "presets/xml/xml_settings_api.h"

#include <cstdarg>
#include <cstdlib>
#include <pugixml.hpp>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/format.h"
#include "platform/paths.h"
#include "presets/xml/atomic_file.h"
#include "presets/xml/tesk_file_base.h"
#include "presets/xml/xml_path.h"

namespace korvalt {

namespace {

// Child elements of one parent by name, in document order.
using ChildIndex = std::unordered_map<std::string_view, std::vector<pugi::xml_node>>;

// The tree, and an index of element children per parent built on first lookup, so that reading
// every entry of a large file costs time linear in its size, not in entries times siblings. The
// names the index points into live in the tree; a removal drops the whole index.
struct IndexedTree {
  pugi::xml_document Xml;
  std::unordered_map<pugi::xml_node_struct*, ChildIndex> Children;

  const ChildIndex& ChildrenOf(const pugi::xml_node parent) {
    auto [at, added] = Children.try_emplace(parent.internal_object());
    if (added) {
      for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element) at->second[child.name()].push_back(child);
      }
    }
    return at->second;
  }
  // An element appended at the end of parent's children.
  void Appended(const pugi::xml_node parent, const pugi::xml_node child) {
    const auto at = Children.find(parent.internal_object());
    if (at != Children.end()) at->second[child.name()].push_back(child);
  }
};

}  // namespace

struct CXMLSettingsAPI::Document : IndexedTree {};

namespace {

constexpr const char* kDirectoryVariable = "QUENLARK_PRESET_DIR";
constexpr const char* kDeclaration = "<?xml version='1.0' encoding='utf-8'?>";
constexpr const char* kValueAttribute = "value";
// Anything deeper than a settings file is refused before it can cost the recorder stack.
constexpr size_t kMaxDepth = 64;

// Whitespace text, comments and processing instructions are kept so that a load and a save leave
// the layout as it was. Fragment mode shows text outside the root, which a strict parser refuses
// and which would otherwise vanish silently.
constexpr unsigned kParseFlags = pugi::parse_ws_pcdata | pugi::parse_escapes | pugi::parse_cdata |
                                 pugi::parse_comments | pugi::parse_pi | pugi::parse_declaration |
                                 pugi::parse_doctype | pugi::parse_fragment;

class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override { Out.append(static_cast<const char*>(data), size); }
  std::string Out;
};

// One fixed form for every file: the declaration, a line feed, the root element exactly as the
// tree holds it (no indentation added), a line feed.
std::string Serialize(const pugi::xml_document& xml) {
  StringWriter writer;
  writer.Out = kDeclaration;
  writer.Out += '\n';
  xml.document_element().print(writer, "", pugi::format_raw, pugi::encoding_utf8);
  writer.Out += '\n';
  return writer.Out;
}

bool IsWhitespace(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// What a strict parser demands around the root: one element, a declaration only at the start,
// nothing but whitespace, comments and processing instructions besides.
bool HasOneRoot(const pugi::xml_document& xml) {
  int elements = 0;
  bool first = true;
  for (pugi::xml_node node : xml.children()) {
    switch (node.type()) {
      case pugi::node_declaration:
        if (!first) return false;
        break;
      case pugi::node_doctype:
        if (elements > 0) return false;
        break;
      case pugi::node_pcdata:
        if (!IsWhitespace(node.value())) return false;
        break;
      case pugi::node_element:
        ++elements;
        break;
      case pugi::node_comment:
      case pugi::node_pi:
        break;
      default:
        return false;
    }
    first = false;
  }
  return elements == 1;
}

// Iterative: the depth of a hostile file must not become the depth of our stack.
bool DepthWithin(const pugi::xml_node root, size_t limit) {
  size_t depth = 1;
  pugi::xml_node node = root;
  for (;;) {
    if (node.first_child()) {
      node = node.first_child();
      if (++depth > limit) return false;
      continue;
    }
    while (!node.next_sibling()) {
      if (node == root) return true;
      node = node.parent();
      --depth;
    }
    if (node == root) return true;
    node = node.next_sibling();
  }
}

enum class ParseResult { kOk, kMalformed, kNoMemory };

ParseResult Parse(const std::string& bytes, pugi::xml_document& xml) {
  const pugi::xml_parse_result result = xml.load_buffer(bytes.data(), bytes.size(), kParseFlags);
  if (result.status == pugi::status_out_of_memory) return ParseResult::kNoMemory;
  if (!result || !HasOneRoot(xml) || !DepthWithin(xml.document_element(), kMaxDepth)) {
    return ParseResult::kMalformed;
  }
  return ParseResult::kOk;
}

// A name, not a path: the file must stay in the storage directory.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// An empty result names nothing, so a failure here fails the operation.
std::string FormatPath(const char* format, va_list args) noexcept {
  try {
    std::string path = platform::FormatV(format, args);
    if (path.size() > CXMLSettingsAPI::kMaxPathLength) path.resize(CXMLSettingsAPI::kMaxPathLength);
    return path;
  } catch (...) {
    return {};
  }
}

bool HasAttributes(const pugi::xml_node node, const XmlPathStep& step) {
  for (const auto& [name, value] : step.Attributes) {
    const pugi::xml_attribute attribute = node.attribute(name.c_str());
    if (!attribute || value != attribute.value()) return false;
  }
  return true;
}

// First element, in document order, that the first count steps name below parent. Only children
// of the wanted name are looked at, found through the index.
pugi::xml_node FindFrom(IndexedTree& doc, const pugi::xml_node parent, const std::vector<XmlPathStep>& steps,
                        size_t index, size_t count);

pugi::xml_node Find(IndexedTree& doc, const std::vector<XmlPathStep>& steps, size_t count) {
  return count == 0 ? pugi::xml_node() : FindFrom(doc, doc.Xml, steps, 0, count);
}

pugi::xml_node FindFrom(IndexedTree& doc, const pugi::xml_node parent, const std::vector<XmlPathStep>& steps,
                        size_t index, size_t count) {
  const ChildIndex& children = doc.ChildrenOf(parent);
  const auto named = children.find(steps[index].Name);
  if (named == children.end()) return {};
  for (const pugi::xml_node child : named->second) {
    if (!HasAttributes(child, steps[index])) continue;
    if (index + 1 == count) return child;
    if (pugi::xml_node found = FindFrom(doc, child, steps, index + 1, count)) return found;
  }
  return {};
}

// Every element, in document order, that the steps from index on name below parent.
void FindAllFrom(IndexedTree& doc, const pugi::xml_node parent, const std::vector<XmlPathStep>& steps,
                 size_t index, std::vector<pugi::xml_node>& found) {
  const ChildIndex& children = doc.ChildrenOf(parent);
  const auto named = children.find(steps[index].Name);
  if (named == children.end()) return;
  for (const pugi::xml_node child : named->second) {
    if (!HasAttributes(child, steps[index])) continue;
    if (index + 1 == steps.size()) {
      found.push_back(child);
    } else {
      FindAllFrom(doc, child, steps, index + 1, found);
    }
  }
}

void AppendText(pugi::xml_node parent, const std::string& text) {
  if (text.empty()) return;
  parent.append_child(pugi::node_pcdata).set_value(text.c_str());
}

bool SetAttribute(pugi::xml_node element, const std::string& name, const std::string& value) {
  pugi::xml_attribute attribute = element.attribute(name.c_str());
  if (!attribute) attribute = element.append_attribute(name.c_str());
  return attribute && attribute.set_value(value.c_str());
}

// Creates the element the first count steps name, and any missing parent, but never the root.
// Each new element at depth d (the root is 1) is laid out as
//   parent: [d-2 tabs] element [LF, d-2 tabs]     element: [LF, d-1 tabs]
// so that files keep the layout every recorder writes.
pugi::xml_node CreatePath(IndexedTree& doc, const std::vector<XmlPathStep>& steps, size_t count) {
  if (pugi::xml_node found = Find(doc, steps, count)) return found;
  if (count < 2) return {};
  pugi::xml_node parent = Find(doc, steps, count - 1);
  if (!parent) parent = CreatePath(doc, steps, count - 1);
  if (!parent) return {};
  const XmlPathStep& step = steps[count - 1];
  const size_t depth = count;
  AppendText(parent, std::string(depth - 2, '\t'));
  pugi::xml_node element = parent.append_child(step.Name.c_str());
  if (!element) return {};
  doc.Appended(parent, element);
  AppendText(element, "\n" + std::string(depth - 1, '\t'));
  AppendText(parent, "\n" + std::string(depth - 2, '\t'));
  for (const auto& [name, value] : step.Attributes) {
    if (!SetAttribute(element, name, value)) return {};
  }
  return element;
}

// Takes piece off the start (or the end) of a whitespace text node, and the node itself when
// nothing is left of it.
void TrimLayout(pugi::xml_node text, std::string_view piece, bool fromEnd) {
  if (piece.empty() || text.type() != pugi::node_pcdata) return;
  const std::string_view value = text.value();
  if (!IsWhitespace(value) || !(fromEnd ? value.ends_with(piece) : value.starts_with(piece))) return;
  if (value.size() == piece.size()) {
    text.parent().remove_child(text);
    return;
  }
  const std::string rest(fromEnd ? value.substr(0, value.size() - piece.size()) : value.substr(piece.size()));
  text.set_value(rest.c_str());
}

// Removes an element at depth together with the layout CreatePath laid around it (the indentation
// before, the line break after). Left behind, every rewrite of a channel would add a line to the
// file and a node to the tree, and that node would keep the tree's memory page it sits in (with
// the removed channel's nodes) for the document's life: the memory would grow with every rewrite.
bool RemoveWithLayout(const pugi::xml_node element, size_t depth) {
  const std::string indent(depth - 2, '\t');
  TrimLayout(element.previous_sibling(), indent, true);
  TrimLayout(element.next_sibling(), "\n" + indent, false);
  return element.parent().remove_child(element);
}

}  // namespace

CXMLSettingsAPI::CXMLSettingsAPI() = default;

CXMLSettingsAPI::~CXMLSettingsAPI() {
  Close();
}

std::string CXMLSettingsAPI::StorageDirectory() {
  const char* configured = std::getenv(kDirectoryVariable);
  if (configured == nullptr || *configured == '\0') return platform::ExecutableDirectory();
  std::string directory = configured;
  if (directory.back() != '/') directory += '/';
  return directory;
}

int32_t CXMLSettingsAPI::Open(const std::string& fileName) {
  try {
    CSpinMutexLock openGuard(&OpenLock);
    if (OpenCount > 0) {
      ++OpenCount;
      return 0;
    }
    const std::string directory = StorageDirectory();
    if (directory.empty() || !IsPlainFileName(fileName)) return kFail;
    const std::string path = directory + fileName;

    CTeskFileBase file;
    if (!file.Open(path)) return kFail;
    const int64_t size = file.Size();
    if (size <= 0) return kFail;
    if (size > kMaxFileBytes) return kParseError;
    std::string bytes;
    if (!file.ReadAll(bytes, kMaxFileBytes)) return kFail;
    file.Close();

    auto document = std::make_unique<Document>();
    switch (Parse(bytes, document->Xml)) {
      case ParseResult::kOk:
        break;
      case ParseResult::kMalformed:
        return kParseError;
      case ParseResult::kNoMemory:
        return kFail;
    }
    CSpinMutexLock nodeGuard(&NodeLock);
    Doc = std::move(document);
    FilePath = path;
    SaveEachChange = false;
    OpenCount = 1;
    return 0;
  } catch (...) {
    return kFail;
  }
}

int32_t CXMLSettingsAPI::Close() {
  CSpinMutexLock openGuard(&OpenLock);
  if (OpenCount > 0 && --OpenCount == 0) {
    CSpinMutexLock nodeGuard(&NodeLock);
    Doc.reset();
    FilePath.clear();
  }
  return OpenCount;
}

bool CXMLSettingsAPI::Save() {
  CSpinMutexLock nodeGuard(&NodeLock);
  return SaveLocked();
}

bool CXMLSettingsAPI::SaveLocked() {
  if (!Doc) return false;
  try {
    const std::string bytes = Serialize(Doc->Xml);
    // Open would refuse it and move it aside: the file on disk stays as it was.
    if (static_cast<int64_t>(bytes.size()) > kMaxFileBytes) return false;
    return WriteFileAtomically(FilePath, bytes);
  } catch (...) {
    return false;
  }
}

int32_t CXMLSettingsAPI::CreateDocument(const std::string& rootName, const std::string& fileName,
                                        bool /*initializeCom*/) {
  try {
    const std::string directory = StorageDirectory();
    if (directory.empty() || !IsPlainFileName(fileName) || !IsXmlName(rootName)) return 0;
    pugi::xml_document xml;
    if (!xml.append_child(rootName.c_str())) return 0;
    return WriteFileAtomically(directory + fileName, Serialize(xml)) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

std::string CXMLSettingsAPI::GetValue(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string path = FormatPath(format, args);
  va_end(args);
  try {
    std::vector<XmlPathStep> steps;
    if (!ParseXmlPath(path, steps)) return {};
    CSpinMutexLock nodeGuard(&NodeLock);
    if (!Doc) return {};
    return Find(*Doc, steps, steps.size()).attribute(kValueAttribute).value();
  } catch (...) {
    return {};
  }
}

int32_t CXMLSettingsAPI::SetValue(const std::string& value, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string path = FormatPath(format, args);
  va_end(args);
  try {
    CSpinMutexLock nodeGuard(&NodeLock);
    return SetValueLocked(value, path);
  } catch (...) {
    return 0;
  }
}

int32_t CXMLSettingsAPI::SetValueLocked(const std::string& value, const std::string& path) {
  if (!Doc) return 0;
  std::vector<XmlPathStep> steps;
  if (!ParseXmlPath(path, steps)) return 0;
  pugi::xml_node element = CreatePath(*Doc, steps, steps.size());
  if (!element || !SetAttribute(element, kValueAttribute, value)) return 0;
  if (SaveEachChange) return SaveLocked() ? 1 : 0;
  return 1;
}

bool CXMLSettingsAPI::NodeExists(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string path = FormatPath(format, args);
  va_end(args);
  try {
    std::vector<XmlPathStep> steps;
    if (!ParseXmlPath(path, steps)) return false;
    CSpinMutexLock nodeGuard(&NodeLock);
    return Doc && Find(*Doc, steps, steps.size());
  } catch (...) {
    return false;
  }
}

int32_t CXMLSettingsAPI::RemoveNode(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string path = FormatPath(format, args);
  va_end(args);
  try {
    std::vector<XmlPathStep> steps;
    if (!ParseXmlPath(path, steps) || steps.size() < 2) return 0;
    CSpinMutexLock nodeGuard(&NodeLock);
    if (!Doc) return 0;
    std::vector<pugi::xml_node> elements;
    FindAllFrom(*Doc, Doc->Xml, steps, 0, elements);
    // The index may point into a removed subtree, whose memory the tree reuses. The elements are
    // all at one depth, so none lies inside another.
    Doc->Children.clear();
    bool removed = false;
    for (const pugi::xml_node element : elements)
      removed = RemoveWithLayout(element, steps.size()) || removed;
    if (!removed) return 0;
    if (SaveEachChange) return SaveLocked() ? 1 : 0;
    return 1;
  } catch (...) {
    return 0;
  }
}

void CXMLSettingsAPI::SetSaveEachChange(bool save) {
  CSpinMutexLock nodeGuard(&NodeLock);
  SaveEachChange = save;
}

bool CXMLSettingsAPI::IsOpen() {
  CSpinMutexLock openGuard(&OpenLock);
  return OpenCount > 0;
}

std::string CXMLSettingsAPI::GetFilePath() {
  CSpinMutexLock nodeGuard(&NodeLock);
  return FilePath;
}

}  // namespace korvalt
