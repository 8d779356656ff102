#include "presets/preposition_list.h"

#include <algorithm>
#include <string_view>

#include "driver/host/ptz.h"
#include "platform/format.h"
#include "ptz/preposition_comm.h"

namespace korvalt {
namespace {

constexpr const char* kAddOrigin = "korvalt::CPrepositionList::AddPreposition";
constexpr const char* kRenameOrigin = "korvalt::CPrepositionList::RenameCurrentPreposition";
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
  return !name.empty() && name.find_first_of(kRefused) == std::string::npos && IsXmlUtf8(name);
}

bool CPrepositionList::WriteEntry(int32_t position, int32_t slot, const std::string& name) {
  try {
    CSpinMutexLock guard(&Lock);
    if (!Reader) return false;
    PrepositionEntry entry;
    entry.Name = name;
    entry.Slot = static_cast<uint32_t>(slot);
    return Reader->WritePreposition(static_cast<uint32_t>(Channel), static_cast<uint32_t>(position), entry);
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
    if (!Reader) return;
    for (uint32_t position = 0; position < MaxPrepositions; ++position) {
      PrepositionEntry entry;
      if (!Reader->ReadPreposition(static_cast<uint32_t>(Channel), position, entry)) continue;
      // Slots are signed in memory; a larger number from the file cannot be a camera slot.
      if (entry.Slot > static_cast<uint32_t>(INT32_MAX)) continue;
      const auto slot = static_cast<int32_t>(entry.Slot);
      Names[slot] = std::move(entry.Name);
      Order.push_back(slot);
    }
  } catch (...) {
  }
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
  return static_cast<int>(Order.size());
}

bool CPrepositionList::GetName(int32_t position, std::string& name) {
  try {
    name.clear();
    CSpinMutexLock guard(&Lock);
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

bool CPrepositionList::Goto(const std::string& name, int32_t param) {
  try {
    if (name.empty()) return false;
    CSpinMutexLock guard(&Lock);
    const int32_t slot = FindSlot(name);
    if (slot < 0) return false;
    const auto at = std::find(Order.begin(), Order.end(), slot);
    if (at == Order.end()) return false;
    const auto position = static_cast<int32_t>(at - Order.begin());
    if (position == Current) return true;
    if (PresetComm == nullptr || !PresetComm->GotoPreposition(slot, name, param)) return false;
    Current = position;
    return true;
  } catch (...) {
    return false;
  }
}

int CPrepositionList::AddPreposition(const std::string& name) {
  try {
    if (PresetComm == nullptr) return ipcapture::kPtzNotAvailable;
    if (!IsValidName(name)) {
      // Joined, not formatted: the name is the user's text.
      Log(ipcapture::kDebugLevelError, std::string(kAddOrigin) + ": A preposition \"" + name +
                                           "\" cannot be added - the name is invalid.");
      return ipcapture::kPtzInvalidArgument;
    }
    int level = 0;
    std::string message;
    int result = ipcapture::kPtzNotAvailable;
    {
      CSpinMutexLock guard(&Lock);
      result = AddLocked(name, level, message);
    }
    if (!message.empty()) Log(level, message);
    return result;
  } catch (...) {
    return ipcapture::kPtzNotAvailable;
  }
}

int CPrepositionList::AddLocked(const std::string& name, int& level, std::string& message) {
  // The camera still stands at a stored preset: the user is naming that one anew.
  if (Current != -1) {
    level = ipcapture::kDebugLevelInformation;
    return RenameLocked(name, message);
  }
  if (Order.size() >= MaxPrepositions) {
    level = ipcapture::kDebugLevelError;
    message = platform::Format(
        "%s: A preposition \"%s\" cannot be added. Camera supports saving not more than %u prepositions.",
        kAddOrigin, name.c_str(), MaxPrepositions);
    return ipcapture::kPtzPresetLimit;
  }
  int32_t slot = -1;
  for (uint32_t candidate = 0; candidate < MaxPrepositions && candidate <= static_cast<uint32_t>(INT32_MAX);
       ++candidate) {
    if (Names.find(static_cast<int32_t>(candidate)) == Names.end()) {
      slot = static_cast<int32_t>(candidate);
      break;
    }
  }
  if (slot < 0) return ipcapture::kPtzPresetLimit;
  if (!PresetComm->StorePreposition(slot, name)) return ipcapture::kPtzNotAvailable;
  Names[slot] = name;
  Order.push_back(slot);
  Current = static_cast<int32_t>(Order.size()) - 1;
  return WriteEntry(Current, slot, name) ? ipcapture::kPtzSuccess : ipcapture::kPtzNotAvailable;
}

int CPrepositionList::RenameCurrentPreposition(const std::string& name) {
  try {
    std::string message;
    int result = ipcapture::kPtzNotAvailable;
    {
      CSpinMutexLock guard(&Lock);
      result = RenameLocked(name, message);
    }
    if (!message.empty()) Log(ipcapture::kDebugLevelInformation, message);
    return result;
  } catch (...) {
    return ipcapture::kPtzNotAvailable;
  }
}

int CPrepositionList::RenameLocked(const std::string& name, std::string& message) {
  if (Current == -1) return ipcapture::kPtzNotAvailable;
  if (Current < 0 || static_cast<size_t>(Current) >= Order.size()) return ipcapture::kPtzInvalidArgument;
  const int32_t slot = Order[static_cast<size_t>(Current)];
  const auto old = Names.find(slot);
  if (old == Names.end() || !WriteEntry(Current, slot, name)) return ipcapture::kPtzNotAvailable;
  message = platform::Format("%s: A preposition with index %d was renamed from \"%s\" to \"%s\".",
                             kRenameOrigin, Current, old->second.c_str(), name.c_str());
  old->second = name;
  return ipcapture::kPtzSuccess;
}

bool CPrepositionList::Remove(const std::string& name) {
  try {
    if (name.empty()) return false;
    CSpinMutexLock guard(&Lock);
    const int32_t slot = FindSlot(name);
    if (slot < 0 || PresetComm == nullptr) return false;
    if (PresetComm->DeletePreposition(slot, name)) {
      Names.erase(slot);
      Order.erase(std::remove(Order.begin(), Order.end(), slot), Order.end());
    }
    // A refused delete still rewrites the channel, as one batch.
    Current = -1;
    return SaveAll();
  } catch (...) {
    return false;
  }
}

bool CPrepositionList::GetCurrentName(std::string& name) {
  try {
    name.clear();
    CSpinMutexLock guard(&Lock);
    if (Current < 0 || static_cast<size_t>(Current) >= Order.size()) return false;
    const auto found = Names.find(Order[static_cast<size_t>(Current)]);
    if (found == Names.end()) return false;
    name = found->second;
    return true;
  } catch (...) {
    return false;
  }
}

void CPrepositionList::ResetCurrent() {
  CSpinMutexLock guard(&Lock);
  Current = -1;
}

void CPrepositionList::Log(int level, const std::string& message) {
  if (PresetComm != nullptr) PresetComm->DebugMessage(level, "%s", message.c_str());
}

}  // namespace korvalt
