#include <windows.h>
// After windows.h.
#include <winternl.h>

#include <cstdint>
#include <cwchar>
#include <string_view>

#include "support/process_handles.h"

namespace testsupport {
namespace {

// Handle values are multiples of four; a test process holds a few hundred at most.
constexpr uintptr_t kLastHandleValue = 0x10000;
constexpr uintptr_t kHandleStep = 4;

// Looked up rather than linked: the suites link no import library of ntdll.
using QueryObject = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

bool IsEvent(QueryObject query, HANDLE handle) {
  alignas(8) unsigned char buffer[1024];
  ULONG length = 0;
  if (query(handle, ObjectTypeInformation, buffer, sizeof buffer, &length) != 0) return false;
  const auto* type = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer);
  constexpr std::wstring_view kEvent = L"Event";
  return type->TypeName.Length == kEvent.size() * sizeof(wchar_t) &&
         std::wmemcmp(type->TypeName.Buffer, kEvent.data(), kEvent.size()) == 0;
}

}  // namespace

size_t ProcessEventHandles() {
  const auto query = reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  if (query == nullptr) return 0;
  size_t count = 0;
  for (uintptr_t value = kHandleStep; value < kLastHandleValue; value += kHandleStep) {
    const auto handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (::GetHandleInformation(handle, &flags) != 0 && IsEvent(query, handle)) ++count;
  }
  return count;
}

}  // namespace testsupport
