// The Windows layer's calls of ntdll.dll: event-free transfers (for
// platform_windows_files.cpp) and opening a name relative to a folder's
// handle (for it and platform_windows_folders.cpp).
#include <windows.h>
#include <winternl.h>

#include <cstring>

#include "platform_windows.h"

namespace tavo::platform {
namespace {

// The calls of ntdll.dll that open a name relative to a handle and move
// bytes without an event. Every process has ntdll.dll loaded; taking them
// from it keeps the programs' imports to the documented DLLs.
struct NtFunctions {
  NTSTATUS(NTAPI* create_file)
  (PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
   ULONG, PVOID, ULONG);
  ULONG(NTAPI* status_to_error)(NTSTATUS);
  using Transfer = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID,
                                    ULONG, PLARGE_INTEGER, PULONG);
  Transfer read_file;
  Transfer write_file;
};

const NtFunctions& nt_functions() {
  static const NtFunctions functions = [] {
    NtFunctions found{};
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
      found.create_file = reinterpret_cast<decltype(found.create_file)>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")));
      found.status_to_error = reinterpret_cast<decltype(found.status_to_error)>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
      found.read_file = reinterpret_cast<NtFunctions::Transfer>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "NtReadFile")));
      found.write_file = reinterpret_cast<NtFunctions::Transfer>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "NtWriteFile")));
    }
    return found;
  }();
  return functions;
}

}  // namespace

// No event and no completion: ReadFile and WriteFile on an overlapped
// handle signal one or post one, and under Wine either is a round trip to its
// server for every transfer (0.1 to 0.3 s per GiB in 1 MiB blocks), where
// this costs what a pread or pwrite does.
bool transfer(HANDLE handle, bool writing, std::int64_t offset, void* bytes, DWORD count,
              DWORD& done) {
  done = 0;
  const NtFunctions& nt = nt_functions();
  if (nt.read_file == nullptr || nt.write_file == nullptr || nt.status_to_error == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  IO_STATUS_BLOCK status_block{};
  status_block.Status = STATUS_PENDING;
  LARGE_INTEGER at;
  at.QuadPart = offset;
  NTSTATUS status = (writing ? nt.write_file : nt.read_file)(
      handle, nullptr, nullptr, nullptr, &status_block, bytes, count, &at, nullptr);
  if (status == STATUS_PENDING) {
    // The system fills in the status block when the transfer ends, whatever
    // this thread is doing then. Every completion on the handle signals it and
    // every transfer started clears it, so another thread's (the background
    // flush's) may undo this one's signal, hence the short turns, or leave
    // the handle signalled, hence the sleep instead of a spin.
    const volatile NTSTATUS& final_status = status_block.Status;
    while (final_status == STATUS_PENDING) {
      if (WaitForSingleObject(handle, 1) == WAIT_OBJECT_0 && final_status == STATUS_PENDING) {
        Sleep(1);
      }
    }
    status = final_status;
  }
  if (status == static_cast<NTSTATUS>(0xC0000011L) && !writing) return true;  // end of file
  if (status < 0) {
    SetLastError(nt.status_to_error(status));
    return false;
  }
  done = static_cast<DWORD>(status_block.Information);
  return true;
}

DWORD open_relative(HANDLE root, const char* name, ACCESS_MASK access, ULONG share, ULONG options,
                    HANDLE& handle) {
  handle = INVALID_HANDLE_VALUE;
  std::wstring wide;
  if (!utf16_from_utf8(name, std::strlen(name), wide) || wide.empty() ||
      wide.size() * sizeof(wchar_t) > 0xFFFE) {
    return ERROR_INVALID_NAME;
  }
  UNICODE_STRING object_name;
  object_name.Buffer = wide.data();
  object_name.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK status_block{};
  HANDLE opened = nullptr;
  const NtFunctions& nt = nt_functions();
  if (nt.create_file == nullptr || nt.status_to_error == nullptr) return ERROR_PROC_NOT_FOUND;
  const NTSTATUS status = nt.create_file(&opened, access, &attributes, &status_block, nullptr, 0,
                                         share, FILE_OPEN, options, nullptr, 0);
  if (status < 0) return nt.status_to_error(status);
  handle = opened;
  return 0;
}

}  // namespace tavo::platform
