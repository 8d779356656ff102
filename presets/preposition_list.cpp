#include "presets/preposition_list.h"

#include <algorithm>
#include <string_view>

#include "driver/host/ptz.h"
#include "platform/format.h"
#include "presets/xml/xml_settings_api.h"
#include "ptz/preposition_comm.h"

namespace korvalt {
namespace {

constexpr const char* kAddOrigin = "korvalt::CPrepositionList::AddPreposition";
constexpr const char* kRenameOrigin = "korvalt::CPrepositionList::RenameCurrentPreposition";
constexpr const char* kTooLarge = " - the preset file would grow beyond %lld bytes.";
// Characters a name may not contain: XML markup characters and '!'.
constexpr std::string_view kRefused = "&!<>'\"";

// Code points that an XML 1.0 document can hold; anything else makes the file unreadable to a
// strict parser.
bool IsXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF, only XML characters.
bool IsXmlUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    uint32_t c = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
      length = 1;
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      c = lead & 0x1F;
      minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      c = lead & 0x0F;
      minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      c = lead & 0x07;
      minimum = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || !IsXmlChar(c)) return false;
    i += length;
  }
  return true;
}

std::string InvalidNameText(const std::string& name) {
  // Joined, not formatted: the name is the user's text.
  return std::string(kAddOrigin) + ": A preposition \"" + name + "\" cannot be added - the name is invalid.";
}

}  // namespace

CPrepositionList::CPrepositionList(int32_t channel) : Channel(channel) {}

CPrepositionList::~CPrepositionList() {
  CSpinMutexLock guard(&Lock);
  Names.clear();
  Order.clear();
  Current = -1;
  Reader.Reset();
}

bool CPrepositionList::IsValidName(const std::string& name) {
  return !name.empty() && name.size() <= ipcapture::kPtzMaxPresetNameLength &&
         name.find_first_of(kRefused) == std::string::npos && IsXmlUtf8(name);
}

bool CPrepositionList::WriteEntry(int32_t position, int32_t slot, const std::string& name) {
  try {
    CSpinMutexLock guard(&Lock);
    if (!Reader) return false;
    PrepositionEntry entry;
    entry.Name = name;
    entry.Slot = static_cast<uint32_t>(slot);
    CXMLPrepositionReader::CBatch batch(*Reader);
    const bool written =
        Reader->WritePreposition(static_cast<uint32_t>(Channel), static_cast<uint32_t>(position), entry);
    SeenGeneration = Reader->Generation(static_cast<uint32_t>(Channel));
    return written;
  } catch (...) {
    return false;
  }
}

bool CPrepositionList::SaveAll() {
  try {
    CSpinMutexLock guard(&Lock);
    if (!Reader) return false;
    // Other channels wait until this one is rewritten and saved.
    CXMLPrepositionReader::CBatch batch(*Reader);
    Reader->SetAutoSave(false);
    Reader->RemoveChannel(static_cast<uint32_t>(Channel));
    bool written = true;
    for (size_t position = 0; position < Order.size() && written; ++position) {
      const auto name = Names.find(Order[position]);
      written =
          name != Names.end() && WriteEntry(static_cast<int32_t>(position), Order[position], name->second);
    }
    // This is the rewrite's only save: when it fails, so does the call.
    const bool saved = Reader->SetAutoSave(true);
    SeenGeneration = Reader->Generation(static_cast<uint32_t>(Channel));
    if (written && saved) NeedsRewrite = false;
    return written && saved;
  } catch (...) {
    return false;
  }
}

void CPrepositionList::Load() {
  try {
    CSpinMutexLock guard(&Lock);
    Names.clear();
    Order.clear();
    Current = -1;
    NeedsRewrite = false;
    if (!Reader) return;
    CXMLPrepositionReader::CBatch batch(*Reader);
    SeenGeneration = Reader->Generation(static_cast<uint32_t>(Channel));
    for (uint32_t position = 0; position < MaxPrepositions; ++position) {
      PrepositionEntry entry;
      if (!Reader->ReadPreposition(static_cast<uint32_t>(Channel), position, entry)) continue;
      // Slots are signed in memory; a larger number from the file cannot be a camera slot.
      if (entry.Slot > static_cast<uint32_t>(INT32_MAX)) continue;
      // An entry skipped before this one: list positions no longer match file positions.
      if (position != Order.size()) NeedsRewrite = true;
      const auto slot = static_cast<int32_t>(entry.Slot);
      Names[slot] = std::move(entry.Name);
      Order.push_back(slot);
    }
  } catch (...) {
  }
}

void CPrepositionList::Refresh() {
  if (!Reader || Reader->Generation(static_cast<uint32_t>(Channel)) == SeenGeneration) return;
  const int32_t current = CurrentPosition();
  const int32_t slot = current >= 0 ? Order[static_cast<size_t>(current)] : -1;
  const uint64_t moves = CurrentMoves;
  Load();
  if (slot >= 0) SetCurrent(PositionOf(slot), moves);
}

bool CPrepositionList::EnsureContiguous() {
  return !NeedsRewrite || SaveAll();
}

int32_t CPrepositionList::CurrentPosition() const {
  if (Current < 0 || CurrentMoves != Moves.load()) return -1;
  return Current;
}

void CPrepositionList::SetCurrent(int32_t position, uint64_t movesBefore) {
  Current = position;
  CurrentMoves = movesBefore;
}

bool CPrepositionList::Initialize(TSmartPtr<CXMLPrepositionReader> reader) {
  try {
    CSpinMutexLock guard(&Lock);
    if (reader.Get() != Reader.Get()) Reader = reader;
    if (Reader) Load();
    return static_cast<bool>(reader);
  } catch (...) {
    return false;
  }
}

int CPrepositionList::Count() {
  CSpinMutexLock guard(&Lock);
  try {
    Refresh();
  } catch (...) {
  }
  return static_cast<int>(Order.size());
}

bool CPrepositionList::GetName(int32_t position, std::string& name) {
  try {
    name.clear();
    CSpinMutexLock guard(&Lock);
    Refresh();
    if (position < 0 || static_cast<size_t>(position) >= Order.size()) return false;
    const auto found = Names.find(Order[static_cast<size_t>(position)]);
    if (found == Names.end()) return false;
    name = found->second;
    return true;
  } catch (...) {
    return false;
  }
}

int32_t CPrepositionList::FindSlot(const std::string& name) const {
  for (const auto& [slot, slotName] : Names) {
    if (slotName == name) return slot;
  }
  return -1;
}

int32_t CPrepositionList::PositionOf(int32_t slot) const {
  const auto at = std::find(Order.begin(), Order.end(), slot);
  return at == Order.end() ? -1 : static_cast<int32_t>(at - Order.begin());
}

bool CPrepositionList::Goto(const std::string& name, int32_t param) {
  try {
    if (name.empty()) return false;
    CSpinMutexLock call(&CallLock);
    int32_t slot = -1;
    uint64_t moves = 0;
    {
      CSpinMutexLock guard(&Lock);
      Refresh();
      slot = FindSlot(name);
      const int32_t position = slot < 0 ? -1 : PositionOf(slot);
      if (position < 0) return false;
      if (position == CurrentPosition()) return true;
      // Sampled before the request: a movement accepted while it runs leaves the preset.
      moves = Moves.load();
    }
    if (PresetComm == nullptr || !PresetComm->GotoPreposition(slot, name, param)) return false;
    CSpinMutexLock guard(&Lock);
    Refresh();
    SetCurrent(PositionOf(slot), moves);
    return true;
  } catch (...) {
    return false;
  }
}

int CPrepositionList::AddPreposition(const std::string& name) {
  try {
    if (PresetComm == nullptr) return ipcapture::kPtzNotAvailable;
    if (!IsValidName(name)) {
      Log({ipcapture::kDebugLevelError, InvalidNameText(name)});
      return ipcapture::kPtzInvalidArgument;
    }
    Line line;
    int result = ipcapture::kPtzNotAvailable;
    {
      CSpinMutexLock call(&CallLock);
      result = AddNew(name, line);
    }
    if (!line.Text.empty()) Log(line);
    return result;
  } catch (...) {
    return ipcapture::kPtzNotAvailable;
  }
}

int CPrepositionList::AddNew(const std::string& name, Line& line) {
  int32_t slot = -1;
  uint64_t moves = 0;
  {
    CSpinMutexLock guard(&Lock);
    Refresh();
    // The camera still stands at a stored preset: the user is naming that one anew.
    if (CurrentPosition() != -1) return RenameLocked(name, line);
    // A second preset of the same name could never be reached by name.
    if (FindSlot(name) >= 0) {
      line = {ipcapture::kDebugLevelError, InvalidNameText(name)};
      return ipcapture::kPtzInvalidArgument;
    }
    if (Order.size() >= MaxPrepositions) {
      line = {ipcapture::kDebugLevelError,
              platform::Format("%s: A preposition \"%s\" cannot be added. Camera supports saving not more "
                               "than %u prepositions.",
                               kAddOrigin, name.c_str(), MaxPrepositions)};
      return ipcapture::kPtzPresetLimit;
    }
    for (uint32_t candidate = 0; candidate < MaxPrepositions && candidate <= static_cast<uint32_t>(INT32_MAX);
         ++candidate) {
      if (Names.find(static_cast<int32_t>(candidate)) == Names.end()) {
        slot = static_cast<int32_t>(candidate);
        break;
      }
    }
    if (slot < 0) return ipcapture::kPtzPresetLimit;
    // Nothing is asked of the camera for a preset the file could not keep.
    if (!EnsureContiguous()) return ipcapture::kPtzNotAvailable;
    if (Reader && !Reader->HasRoomFor(static_cast<uint32_t>(Channel), static_cast<uint32_t>(Order.size()),
                                      {name, static_cast<uint32_t>(slot)})) {
      line = {ipcapture::kDebugLevelError,
              std::string(kAddOrigin) + ": A preposition \"" + name + "\" cannot be added" +
                  platform::Format(kTooLarge, static_cast<long long>(CXMLSettingsAPI::kMaxFileBytes))};
      return ipcapture::kPtzNotAvailable;
    }
    moves = Moves.load();
  }
  if (!PresetComm->StorePreposition(slot, name)) return ipcapture::kPtzNotAvailable;
  CSpinMutexLock guard(&Lock);
  Refresh();
  Names[slot] = name;
  Order.push_back(slot);
  SetCurrent(static_cast<int32_t>(Order.size()) - 1, moves);
  // Another driver of the device rewrote the channel meanwhile and it is not contiguous yet.
  if (!EnsureContiguous()) return ipcapture::kPtzNotAvailable;
  return WriteEntry(Current, slot, name) ? ipcapture::kPtzSuccess : ipcapture::kPtzNotAvailable;
}

int CPrepositionList::RenameCurrentPreposition(const std::string& name) {
  try {
    Line line;
    int result = ipcapture::kPtzNotAvailable;
    {
      CSpinMutexLock call(&CallLock);
      CSpinMutexLock guard(&Lock);
      result = RenameLocked(name, line);
    }
    if (!line.Text.empty()) Log(line);
    return result;
  } catch (...) {
    return ipcapture::kPtzNotAvailable;
  }
}

int CPrepositionList::RenameLocked(const std::string& name, Line& line) {
  const int32_t current = CurrentPosition();
  if (current == -1) return ipcapture::kPtzNotAvailable;
  if (static_cast<size_t>(current) >= Order.size()) return ipcapture::kPtzInvalidArgument;
  const int32_t slot = Order[static_cast<size_t>(current)];
  const auto old = Names.find(slot);
  if (old == Names.end()) return ipcapture::kPtzNotAvailable;
  const int32_t holder = FindSlot(name);
  if (holder >= 0 && holder != slot) {
    line = {ipcapture::kDebugLevelError, InvalidNameText(name)};
    return ipcapture::kPtzInvalidArgument;
  }
  if (!EnsureContiguous()) return ipcapture::kPtzNotAvailable;
  if (Reader && !Reader->HasRoomFor(static_cast<uint32_t>(Channel), static_cast<uint32_t>(current),
                                    {name, static_cast<uint32_t>(slot)})) {
    line = {
        ipcapture::kDebugLevelError,
        platform::Format("%s: A preposition with index %d cannot be renamed to \"", kRenameOrigin, current) +
            name + "\"" +
            platform::Format(kTooLarge, static_cast<long long>(CXMLSettingsAPI::kMaxFileBytes))};
    return ipcapture::kPtzNotAvailable;
  }
  if (!WriteEntry(current, slot, name)) return ipcapture::kPtzNotAvailable;
  line = {ipcapture::kDebugLevelInformation,
          platform::Format("%s: A preposition with index %d was renamed from \"%s\" to \"%s\".",
                           kRenameOrigin, current, old->second.c_str(), name.c_str())};
  old->second = name;
  return ipcapture::kPtzSuccess;
}

bool CPrepositionList::Remove(const std::string& name) {
  try {
    if (name.empty()) return false;
    CSpinMutexLock call(&CallLock);
    int32_t slot = -1;
    {
      CSpinMutexLock guard(&Lock);
      Refresh();
      slot = FindSlot(name);
      if (slot < 0 || PresetComm == nullptr) return false;
    }
    const bool deleted = PresetComm->DeletePreposition(slot, name);
    CSpinMutexLock guard(&Lock);
    Refresh();
    if (deleted) {
      Names.erase(slot);
      Order.erase(std::remove(Order.begin(), Order.end(), slot), Order.end());
    }
    // A refused delete still rewrites the channel, as one batch; the preset stays in both.
    Current = -1;
    const bool saved = SaveAll();
    return deleted && saved;
  } catch (...) {
    return false;
  }
}

bool CPrepositionList::GetCurrentName(std::string& name) {
  try {
    name.clear();
    CSpinMutexLock guard(&Lock);
    Refresh();
    const int32_t current = CurrentPosition();
    if (current < 0 || static_cast<size_t>(current) >= Order.size()) return false;
    const auto found = Names.find(Order[static_cast<size_t>(current)]);
    if (found == Names.end()) return false;
    name = found->second;
    return true;
  } catch (...) {
    return false;
  }
}

void CPrepositionList::ResetCurrent() {
  Moves.fetch_add(1);
}

void CPrepositionList::Log(const Line& line) {
  if (PresetComm != nullptr) PresetComm->DebugMessage(line.Level, "%s", line.Text.c_str());
}

}  // namespace korvalt
