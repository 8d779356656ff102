// The settings store over the system DOM (DOMDocument 3.0 over COM).
//
// COM never runs on a recorder's thread: a host thread may already sit in a single-threaded
// apartment, and joining it (or leaving it) there would change the host's own COM state. Every DOM
// call runs on one thread of the open document's own, which enters the multithreaded apartment
// itself; callers hand it one task at a time and wait for the result. The thread starts with Open
// and is joined when the document closes, so it never outlives the store.
//
// The file is written from the DOM tree by the code below, not by the DOM's own serialiser, so that
// both systems write the same bytes: the declaration, a line feed, the root element as the tree
// holds it, a line feed.

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>
// After windows.h: the DOM's interfaces.
#include <msxml2.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/format.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "presets/xml/atomic_file.h"
#include "presets/xml/tesk_file_base.h"
#include "presets/xml/xml_path.h"
#include "presets/xml/xml_settings_api.h"

namespace korvalt {

namespace {

// Defined here so that nothing beyond ole32 and oleaut32 is linked for them.
constexpr CLSID kClsidDomDocument30 = {
    0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
constexpr IID kIidDomDocument2 = {
    0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
constexpr IID kIidDomElement = {0x2933bf86, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

constexpr const wchar_t* kDirectoryVariable = L"QUENLARK_PRESET_DIR";
constexpr const char* kDeclaration = "<?xml version='1.0' encoding='utf-8'?>";
constexpr const wchar_t* kValueAttribute = L"value";
// Anything deeper than a settings file is refused.
constexpr size_t kMaxDepth = 64;

// One COM reference, released with the object.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { Reset(); }
  ComRef(const ComRef& other) : Ptr(other.Ptr) {
    if (Ptr != nullptr) Ptr->AddRef();
  }
  ComRef& operator=(const ComRef& other) {
    if (this != &other) {
      if (other.Ptr != nullptr) other.Ptr->AddRef();
      Reset();
      Ptr = other.Ptr;
    }
    return *this;
  }
  void Reset() {
    if (Ptr != nullptr) Ptr->Release();
    Ptr = nullptr;
  }
  T* Get() const { return Ptr; }
  T* operator->() const { return Ptr; }
  explicit operator bool() const { return Ptr != nullptr; }
  // For out-parameters: the reference held before is released.
  T** Put() {
    Reset();
    return &Ptr;
  }

 private:
  T* Ptr = nullptr;
};

// A BSTR owned by the object.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::wstring& text)
      : Str(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { ::SysFreeString(Str); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR Get() const { return Str; }
  BSTR* Put() {
    ::SysFreeString(Str);
    Str = nullptr;
    return &Str;
  }
  std::wstring Text() const {
    return Str == nullptr ? std::wstring() : std::wstring(Str, ::SysStringLen(Str));
  }
  bool Valid() const { return Str != nullptr; }

 private:
  BSTR Str = nullptr;
};

class Variant {
 public:
  Variant() { ::VariantInit(&Value); }
  ~Variant() { ::VariantClear(&Value); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT Value;
};

Variant* MakeStringVariant(Variant& out, const std::wstring& text) {
  out.Value.vt = VT_BSTR;
  out.Value.bstrVal = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return out.Value.bstrVal != nullptr ? &out : nullptr;
}

// The thread that owns every DOM call of one document, in the multithreaded apartment.
class ComThread {
 public:
  ComThread() : Worker([this] { Loop(); }) {}
  ~ComThread() {
    {
      std::lock_guard<std::mutex> guard(Lock);
      Stopping = true;
    }
    Wake.notify_all();
    Worker.join();
  }
  ComThread(const ComThread&) = delete;
  ComThread& operator=(const ComThread&) = delete;

  // Runs task on the thread and returns once it has run; false when COM could not start there.
  bool Run(const std::function<void()>& task) {
    std::unique_lock<std::mutex> guard(Lock);
    Wake.wait(guard, [this] { return Started && (!ComReady || Task == nullptr); });
    if (!ComReady) return false;
    Task = &task;
    Wake.notify_all();
    Wake.wait(guard, [this] { return Task == nullptr; });
    return true;
  }

 private:
  void Loop() {
    const HRESULT joined = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::unique_lock<std::mutex> guard(Lock);
    ComReady = SUCCEEDED(joined);
    Started = true;
    Wake.notify_all();
    while (ComReady) {
      Wake.wait(guard, [this] { return Stopping || Task != nullptr; });
      if (Task != nullptr) {
        const std::function<void()>* task = Task;
        guard.unlock();
        try {
          (*task)();
        } catch (...) {
          // A task reports its failure through its own result.
        }
        guard.lock();
        Task = nullptr;
        Wake.notify_all();
        continue;
      }
      if (Stopping) break;
    }
    guard.unlock();
    if (SUCCEEDED(joined)) ::CoUninitialize();
  }

  std::mutex Lock;
  std::condition_variable Wake;
  const std::function<void()>* Task = nullptr;
  bool Started = false;
  bool ComReady = false;
  bool Stopping = false;
  std::thread Worker;  // last: starts once the members above exist
};

std::wstring Wide(const std::string& text) {
  return platform::Utf8ToWide(text);
}

std::string Utf8(const std::wstring& text) {
  return platform::WideToUtf8(text);
}

DOMNodeType TypeOf(IXMLDOMNode* node) {
  DOMNodeType type = NODE_INVALID;
  if (node == nullptr || FAILED(node->get_nodeType(&type))) return NODE_INVALID;
  return type;
}

ComRef<IXMLDOMNode> FirstChild(IXMLDOMNode* node) {
  ComRef<IXMLDOMNode> child;
  if (node->get_firstChild(child.Put()) != S_OK) child.Reset();
  return child;
}

ComRef<IXMLDOMNode> NextSibling(IXMLDOMNode* node) {
  ComRef<IXMLDOMNode> next;
  if (node->get_nextSibling(next.Put()) != S_OK) next.Reset();
  return next;
}

ComRef<IXMLDOMNode> PreviousSibling(IXMLDOMNode* node) {
  ComRef<IXMLDOMNode> previous;
  if (node->get_previousSibling(previous.Put()) != S_OK) previous.Reset();
  return previous;
}

std::wstring NameOf(IXMLDOMNode* node) {
  Bstr name;
  if (FAILED(node->get_nodeName(name.Put()))) return {};
  return name.Text();
}

// The text of a text, CDATA, comment or processing-instruction node, or of an attribute.
std::wstring ValueOf(IXMLDOMNode* node) {
  Variant value;
  if (FAILED(node->get_nodeValue(&value.Value)) || value.Value.vt != VT_BSTR ||
      value.Value.bstrVal == nullptr) {
    return {};
  }
  return std::wstring(value.Value.bstrVal, ::SysStringLen(value.Value.bstrVal));
}

// The value of attribute name, and whether the element has it.
bool AttributeOf(IXMLDOMNode* node, const std::wstring& name, std::wstring& value) {
  ComRef<IXMLDOMElement> element;
  if (FAILED(node->QueryInterface(kIidDomElement, reinterpret_cast<void**>(element.Put())))) return false;
  Bstr attributeName(name);
  Variant attribute;
  if (element->getAttribute(attributeName.Get(), &attribute.Value) != S_OK || attribute.Value.vt != VT_BSTR)
    return false;
  value.assign(attribute.Value.bstrVal, ::SysStringLen(attribute.Value.bstrVal));
  return true;
}

bool SetAttribute(IXMLDOMNode* node, const std::string& name, const std::string& value) {
  ComRef<IXMLDOMElement> element;
  if (FAILED(node->QueryInterface(kIidDomElement, reinterpret_cast<void**>(element.Put())))) return false;
  Bstr attributeName(Wide(name));
  Variant attributeValue;
  if (!attributeName.Valid() || MakeStringVariant(attributeValue, Wide(value)) == nullptr) return false;
  return SUCCEEDED(element->setAttribute(attributeName.Get(), attributeValue.Value));
}

// The document's root element; null when there is none.
ComRef<IXMLDOMNode> RootOf(IXMLDOMDocument2* xml) {
  ComRef<IXMLDOMElement> root;
  ComRef<IXMLDOMNode> node;
  if (xml->get_documentElement(root.Put()) != S_OK || !root) return node;
  root->QueryInterface(IID_IXMLDOMNode, reinterpret_cast<void**>(node.Put()));
  return node;
}

// Writes text escaped as pugixml writes it, so that both systems give the same bytes: & < > and,
// in attributes, " as entities; control characters as &#NN; (in text, tab, CR and LF stay).
void AppendEscaped(std::string& out, const std::wstring& text, bool attribute) {
  const std::string bytes = Utf8(text);
  for (const char c : bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += attribute ? ">" : "&gt;";
        continue;
      case '"':
        out += attribute ? "&quot;" : "\"";
        continue;
      default:
        break;
    }
    if (u < 32 && (attribute || (c != '\t' && c != '\r' && c != '\n'))) {
      out += "&#";
      out += static_cast<char>('0' + u / 10);
      out += static_cast<char>('0' + u % 10);
      out += ';';
      continue;
    }
    out += c;
  }
}

// Iterative: the depth of the tree must not become the depth of the stack.
bool WriteNode(IXMLDOMNode* root, std::string& out) {
  struct Open {
    ComRef<IXMLDOMNode> Node;
    std::string Name;
  };
  std::vector<Open> stack;
  ComRef<IXMLDOMNode> node;
  root->AddRef();
  *node.Put() = root;
  while (node) {
    bool descended = false;
    switch (TypeOf(node.Get())) {
      case NODE_ELEMENT: {
        const std::string name = Utf8(NameOf(node.Get()));
        out += '<';
        out += name;
        ComRef<IXMLDOMNamedNodeMap> attributes;
        long count = 0;
        if (node->get_attributes(attributes.Put()) == S_OK && attributes &&
            SUCCEEDED(attributes->get_length(&count))) {
          for (long i = 0; i < count; ++i) {
            ComRef<IXMLDOMNode> attribute;
            if (attributes->get_item(i, attribute.Put()) != S_OK || !attribute) return false;
            out += ' ';
            out += Utf8(NameOf(attribute.Get()));
            out += "=\"";
            AppendEscaped(out, ValueOf(attribute.Get()), true);
            out += '"';
          }
        }
        ComRef<IXMLDOMNode> child = FirstChild(node.Get());
        if (!child) {
          out += "/>";
          break;
        }
        out += '>';
        stack.push_back({node, name});
        node = child;
        descended = true;
        break;
      }
      case NODE_TEXT:
        AppendEscaped(out, ValueOf(node.Get()), false);
        break;
      case NODE_CDATA_SECTION: {
        // "]]>" inside the text splits the section, as pugixml does.
        std::string text = Utf8(ValueOf(node.Get()));
        out += "<![CDATA[";
        for (size_t at; (at = text.find("]]>")) != std::string::npos;) {
          out.append(text, 0, at + 2);
          out += "]]><![CDATA[";
          text.erase(0, at + 2);
        }
        out += text;
        out += "]]>";
        break;
      }
      case NODE_COMMENT:
        out += "<!--";
        out += Utf8(ValueOf(node.Get()));
        out += "-->";
        break;
      case NODE_PROCESSING_INSTRUCTION: {
        out += "<?";
        out += Utf8(NameOf(node.Get()));
        const std::string value = Utf8(ValueOf(node.Get()));
        if (!value.empty()) {
          out += ' ';
          out += value;
        }
        out += "?>";
        break;
      }
      default:
        break;
    }
    if (descended) continue;
    // Next: the sibling, or up to the first ancestor with one, closing elements on the way.
    for (;;) {
      if (stack.empty()) return true;
      ComRef<IXMLDOMNode> next = NextSibling(node.Get());
      if (next) {
        node = next;
        break;
      }
      out += "</";
      out += stack.back().Name;
      out += '>';
      node = stack.back().Node;
      stack.pop_back();
    }
  }
  return true;
}

std::string Serialize(IXMLDOMDocument2* xml, bool& ok) {
  std::string out = kDeclaration;
  out += '\n';
  const ComRef<IXMLDOMNode> root = RootOf(xml);
  ok = root && WriteNode(root.Get(), out);
  out += '\n';
  return out;
}

// The root's subtree no deeper than limit, walked without recursion.
bool DepthWithin(IXMLDOMNode* root, size_t limit) {
  std::vector<ComRef<IXMLDOMNode>> path;
  ComRef<IXMLDOMNode> node;
  root->AddRef();
  *node.Put() = root;
  path.push_back(node);
  for (;;) {
    ComRef<IXMLDOMNode> child = FirstChild(path.back().Get());
    if (child) {
      path.push_back(child);
      if (path.size() > limit) return false;
      continue;
    }
    for (;;) {
      if (path.size() == 1) return true;
      ComRef<IXMLDOMNode> next = NextSibling(path.back().Get());
      path.pop_back();
      if (next) {
        path.push_back(next);
        break;
      }
    }
  }
}

ComRef<IXMLDOMDocument2> NewDocument() {
  ComRef<IXMLDOMDocument2> xml;
  if (FAILED(::CoCreateInstance(kClsidDomDocument30, nullptr, CLSCTX_INPROC_SERVER, kIidDomDocument2,
                                reinterpret_cast<void**>(xml.Put())))) {
    xml.Reset();
    return xml;
  }
  // Whitespace text is kept so that a load and a save leave the layout as it was; nothing is
  // fetched from outside the file.
  xml->put_async(VARIANT_FALSE);
  xml->put_preserveWhiteSpace(VARIANT_TRUE);
  xml->put_validateOnParse(VARIANT_FALSE);
  xml->put_resolveExternals(VARIANT_FALSE);
  // Where the DOM knows it, nesting is refused while parsing, before it costs stack; the tree is
  // checked again after the load for a DOM that does not.
  Bstr depthProperty(L"MaxElementDepth");
  Variant depth;
  depth.Value.vt = VT_I4;
  depth.Value.lVal = static_cast<LONG>(kMaxDepth);
  if (depthProperty.Valid()) xml->setProperty(depthProperty.Get(), depth.Value);
  return xml;
}

// UTF-8, or UTF-16 where a byte-order mark says so, as the other backend reads them.
std::wstring DecodeFile(const std::string& bytes) {
  const std::string_view text = bytes;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return Wide(bytes.substr(3));
  const bool little = text.substr(0, 2) == "\xFF\xFE";
  if (!little && text.substr(0, 2) != "\xFE\xFF") return Wide(bytes);
  std::wstring wide;
  wide.reserve(text.size() / 2);
  for (size_t at = 2; at + 1 < text.size(); at += 2) {
    const auto first = static_cast<unsigned char>(text[at]);
    const auto second = static_cast<unsigned char>(text[at + 1]);
    wide += static_cast<wchar_t>(little ? first | (second << 8) : (first << 8) | second);
  }
  return wide;
}

enum class ParseResult { kOk, kMalformed, kNoMemory };

ParseResult Parse(const std::string& bytes, ComRef<IXMLDOMDocument2>& xml) {
  // Entity declarations are what a settings file never holds and what could expand without bound.
  if (bytes.find("<!ENTITY") != std::string::npos) return ParseResult::kMalformed;
  const Bstr wide(DecodeFile(bytes));
  if (!wide.Valid()) return ParseResult::kNoMemory;
  xml = NewDocument();
  if (!xml) return ParseResult::kNoMemory;
  VARIANT_BOOL loaded = VARIANT_FALSE;
  if (FAILED(xml->loadXML(wide.Get(), &loaded)) || loaded != VARIANT_TRUE) return ParseResult::kMalformed;
  const ComRef<IXMLDOMNode> root = RootOf(xml.Get());
  if (!root || !DepthWithin(root.Get(), kMaxDepth)) return ParseResult::kMalformed;
  return ParseResult::kOk;
}

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\\') == std::string::npos && name.find(':') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string FormatPath(const char* format, va_list args) noexcept {
  try {
    std::string path = platform::FormatV(format, args);
    if (path.size() > CXMLSettingsAPI::kMaxPathLength) path.resize(CXMLSettingsAPI::kMaxPathLength);
    return path;
  } catch (...) {
    return {};
  }
}

bool HasAttributes(IXMLDOMNode* node, const XmlPathStep& step) {
  for (const auto& [name, value] : step.Attributes) {
    std::wstring actual;
    if (!AttributeOf(node, Wide(name), actual) || Utf8(actual) != value) return false;
  }
  return true;
}

// One element (or the document) and its element children by name, in document order, gathered on
// first lookup, so that reading every entry of a large file costs time linear in its size, not in
// entries times siblings. The DOM's node objects need not keep their identity between calls, so the
// index is a tree of its own. A removal drops the whole index.
struct IndexedNode {
  IndexedNode() = default;
  explicit IndexedNode(ComRef<IXMLDOMNode> node) : Node(std::move(node)) {}

  ComRef<IXMLDOMNode> Node;
  bool Gathered = false;
  std::unordered_map<std::wstring, std::vector<std::unique_ptr<IndexedNode>>> Children;

  const std::vector<std::unique_ptr<IndexedNode>>* Named(const std::wstring& name) {
    if (!Gathered) {
      for (ComRef<IXMLDOMNode> child = FirstChild(Node.Get()); child; child = NextSibling(child.Get())) {
        if (TypeOf(child.Get()) != NODE_ELEMENT) continue;
        Children[NameOf(child.Get())].push_back(std::make_unique<IndexedNode>(child));
      }
      Gathered = true;
    }
    const auto found = Children.find(name);
    return found == Children.end() ? nullptr : &found->second;
  }
  // An element appended at the end of this one's children.
  IndexedNode* Appended(const std::wstring& name, const ComRef<IXMLDOMNode>& child) {
    if (!Gathered) {
      // Gathering finds the new element too, the last of its name.
      const auto* named = Named(name);
      return named == nullptr || named->empty() ? nullptr : named->back().get();
    }
    auto& named = Children[name];
    named.push_back(std::make_unique<IndexedNode>(child));
    return named.back().get();
  }
  void Forget() {
    Children.clear();
    Gathered = false;
  }
};

// First element, in document order, that the first count steps name below parent.
IndexedNode* FindFrom(IndexedNode& parent, const std::vector<XmlPathStep>& steps, size_t index,
                      size_t count) {
  const auto* named = parent.Named(Wide(steps[index].Name));
  if (named == nullptr) return nullptr;
  for (const auto& child : *named) {
    if (!HasAttributes(child->Node.Get(), steps[index])) continue;
    if (index + 1 == count) return child.get();
    if (IndexedNode* found = FindFrom(*child, steps, index + 1, count)) return found;
  }
  return nullptr;
}

IndexedNode* Find(IndexedNode& document, const std::vector<XmlPathStep>& steps, size_t count) {
  return count == 0 ? nullptr : FindFrom(document, steps, 0, count);
}

// Every element, in document order, that the steps from index on name below parent.
void FindAllFrom(IndexedNode& parent, const std::vector<XmlPathStep>& steps, size_t index,
                 std::vector<ComRef<IXMLDOMNode>>& found) {
  const auto* named = parent.Named(Wide(steps[index].Name));
  if (named == nullptr) return;
  for (const auto& child : *named) {
    if (!HasAttributes(child->Node.Get(), steps[index])) continue;
    if (index + 1 == steps.size()) {
      found.push_back(child->Node);
    } else {
      FindAllFrom(*child, steps, index + 1, found);
    }
  }
}

// Takes piece off the start (or the end) of a whitespace text node, and the node itself when
// nothing is left of it.
void TrimLayout(IXMLDOMNode* parent, IXMLDOMNode* text, const std::wstring& piece, bool fromEnd) {
  if (text == nullptr || piece.empty() || TypeOf(text) != NODE_TEXT) return;
  const std::wstring value = ValueOf(text);
  if (value.find_first_not_of(L" \t\r\n") != std::wstring::npos ||
      !(fromEnd ? value.ends_with(piece) : value.starts_with(piece))) {
    return;
  }
  if (value.size() == piece.size()) {
    ComRef<IXMLDOMNode> old;
    parent->removeChild(text, old.Put());
    return;
  }
  Variant rest;
  if (MakeStringVariant(rest,
                        fromEnd ? value.substr(0, value.size() - piece.size()) : value.substr(piece.size())))
    text->put_nodeValue(rest.Value);
}

bool AppendText(IXMLDOMDocument2* xml, IXMLDOMNode* parent, const std::string& text) {
  if (text.empty()) return true;
  const Bstr data(Wide(text));
  ComRef<IXMLDOMText> node;
  if (!data.Valid() || FAILED(xml->createTextNode(data.Get(), node.Put()))) return false;
  ComRef<IXMLDOMNode> added;
  return SUCCEEDED(parent->appendChild(node.Get(), added.Put()));
}

// Creates the element the first count steps name, and any missing parent, but never the root.
// Each new element at depth d (the root is 1) is laid out as
//   parent: [d-2 tabs] element [LF, d-2 tabs]     element: [LF, d-1 tabs]
// as the other backend does.
IndexedNode* CreatePath(IXMLDOMDocument2* xml, IndexedNode& document, const std::vector<XmlPathStep>& steps,
                        size_t count) {
  if (IndexedNode* found = Find(document, steps, count)) return found;
  if (count < 2) return nullptr;
  IndexedNode* parent = Find(document, steps, count - 1);
  if (parent == nullptr) parent = CreatePath(xml, document, steps, count - 1);
  if (parent == nullptr) return nullptr;
  const XmlPathStep& step = steps[count - 1];
  const size_t depth = count;
  if (!AppendText(xml, parent->Node.Get(), std::string(depth - 2, '\t'))) return nullptr;
  const std::wstring wideName = Wide(step.Name);
  const Bstr name(wideName);
  ComRef<IXMLDOMElement> created;
  if (!name.Valid() || FAILED(xml->createElement(name.Get(), created.Put())) || !created) return nullptr;
  ComRef<IXMLDOMNode> element;
  if (FAILED(parent->Node->appendChild(created.Get(), element.Put())) || !element) return nullptr;
  IndexedNode* indexed = parent->Appended(wideName, element);
  if (!AppendText(xml, element.Get(), "\n" + std::string(depth - 1, '\t'))) return nullptr;
  if (!AppendText(xml, parent->Node.Get(), "\n" + std::string(depth - 2, '\t'))) return nullptr;
  for (const auto& [attribute, value] : step.Attributes) {
    if (!SetAttribute(element.Get(), attribute, value)) return nullptr;
  }
  return indexed;
}

}  // namespace

// The DOM document and the thread that alone calls into it. The document is released on that
// thread before it stops.
struct CXMLSettingsAPI::Document {
  ComThread Com;
  ComRef<IXMLDOMDocument2> Xml;
  IndexedNode Index;  // from the document node down

  ~Document() {
    Com.Run([this] {
      Index.Forget();
      Index.Node.Reset();
      Xml.Reset();
    });
  }
  // Runs task on the COM thread; result as the task left it, or failed when COM is not there.
  template <typename Result>
  Result Call(Result failed, const std::function<Result()>& task) {
    Result result = failed;
    if (!Com.Run([&] { result = task(); })) return failed;
    return result;
  }
};

CXMLSettingsAPI::CXMLSettingsAPI() = default;

CXMLSettingsAPI::~CXMLSettingsAPI() {
  Close();
}

std::string CXMLSettingsAPI::StorageDirectory() {
  // The wide environment: the narrow one is in the ANSI code page, not UTF-8.
  const wchar_t* configured = ::_wgetenv(kDirectoryVariable);
  if (configured == nullptr || *configured == L'\0') return platform::ExecutableDirectory();
  std::string directory = Utf8(configured);
  if (directory.empty()) return {};
  if (directory.back() != '/' && directory.back() != '\\') directory += '/';
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
    const ParseResult parsed = document->Call<ParseResult>(ParseResult::kNoMemory, [&] {
      const ParseResult result = Parse(bytes, document->Xml);
      if (result != ParseResult::kOk) return result;
      // The index starts at the document node.
      const HRESULT node = document->Xml->QueryInterface(
          IID_IXMLDOMNode, reinterpret_cast<void**>(document->Index.Node.Put()));
      return SUCCEEDED(node) && document->Index.Node ? ParseResult::kOk : ParseResult::kNoMemory;
    });
    switch (parsed) {
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
  std::unique_ptr<Document> closed;
  CSpinMutexLock openGuard(&OpenLock);
  if (OpenCount > 0 && --OpenCount == 0) {
    CSpinMutexLock nodeGuard(&NodeLock);
    closed = std::move(Doc);
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
    bool ok = false;
    std::string bytes;
    Document& doc = *Doc;
    if (!doc.Com.Run([&] { bytes = Serialize(doc.Xml.Get(), ok); }) || !ok) return false;
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
    // An empty root element needs no DOM: the bytes are those Save writes for it.
    const std::string bytes = std::string(kDeclaration) + "\n<" + rootName + "/>\n";
    return WriteFileAtomically(directory + fileName, bytes) ? 1 : 0;
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
    Document& doc = *Doc;
    return doc.Call<std::string>({}, [&] {
      const IndexedNode* node = Find(doc.Index, steps, steps.size());
      std::wstring value;
      if (node == nullptr || !AttributeOf(node->Node.Get(), kValueAttribute, value)) return std::string();
      return Utf8(value);
    });
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
  Document& doc = *Doc;
  const bool set = doc.Call<bool>(false, [&] {
    const IndexedNode* element = CreatePath(doc.Xml.Get(), doc.Index, steps, steps.size());
    return element != nullptr && SetAttribute(element->Node.Get(), "value", value);
  });
  if (!set) return 0;
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
    if (!Doc) return false;
    Document& doc = *Doc;
    return doc.Call<bool>(false, [&] { return Find(doc.Index, steps, steps.size()) != nullptr; });
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
    Document& doc = *Doc;
    // Each element goes with the layout CreatePath laid around it (the indentation before, the line
    // break after): left behind, every rewrite of a channel would add a line to the file. They are
    // all at one depth, so none lies inside another.
    const std::wstring indent(steps.size() - 2, L'\t');
    const bool removed = doc.Call<bool>(false, [&] {
      std::vector<ComRef<IXMLDOMNode>> elements;
      FindAllFrom(doc.Index, steps, 0, elements);
      // The index may hold a removed subtree.
      doc.Index.Forget();
      bool any = false;
      for (const ComRef<IXMLDOMNode>& element : elements) {
        ComRef<IXMLDOMNode> parent;
        if (element->get_parentNode(parent.Put()) != S_OK || !parent) continue;
        TrimLayout(parent.Get(), PreviousSibling(element.Get()).Get(), indent, true);
        TrimLayout(parent.Get(), NextSibling(element.Get()).Get(), L"\n" + indent, false);
        ComRef<IXMLDOMNode> old;
        any = SUCCEEDED(parent->removeChild(element.Get(), old.Put())) || any;
      }
      return any;
    });
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
