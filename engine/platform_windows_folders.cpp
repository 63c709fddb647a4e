// The Windows folders: what a path names, folders opened and listed with each
// file's identity. Paths and patterns are in platform_windows_names.cpp,
// files (and lists read whole) in platform_windows_files.cpp.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform_windows.h"

namespace tavo::platform {
namespace {

EntryKind kind_from(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryKind::link;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::folder;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::other;
  return EntryKind::file;
}

// The handle of a folder: a directory itself, never a junction's target.
bool checked_folder(HANDLE handle, Folder& folder, std::string& error) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    error = error_text_of(GetLastError());
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    error = "a junction or link, not followed";
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = "not a folder";
  } else {
    folder.handle = reinterpret_cast<std::intptr_t>(handle);
    return true;
  }
  CloseHandle(handle);
  return false;
}

constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE;

// Present from Windows Vista on; looked up so that older systems still run.
using InfoByHandle = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
InfoByHandle info_by_handle() {
  static const auto get = reinterpret_cast<InfoByHandle>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFileInformationByHandleEx")));
  return get;
}

// The lower half of a 128-bit file id; `fits` tells whether that is all of it.
std::uint64_t low_half(const FILE_ID_128& id, bool& fits) {
  std::uint64_t halves[2];
  std::memcpy(halves, id.Identifier, sizeof halves);
  fits = halves[1] == 0;
  return halves[0];
}

// 0 and all ones are no index: a file system that gives none, or whose own is
// too wide for 64 bits. A wide one (ReFS) cut to 64 bits may name two files.
// Nor is a volume without a serial number one volume: Wine gives 0 to every
// file system it cannot place (tmpfs, say), whose numbers may repeat.
FileIdentity identity_from(DWORD volume, std::uint64_t index, bool fits) {
  if (!fits || volume == 0 || index == 0 || index == ~std::uint64_t{0}) return {};
  return {volume, index};
}

FileIdentity identity_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return {};
  bool fits = true;
  FILE_ID_INFO wide;  // from Windows 8 on
  const InfoByHandle get = info_by_handle();
  if (get != nullptr && get(handle, FileIdInfo, &wide, sizeof wide)) low_half(wide.FileId, fits);
  return identity_from(info.dwVolumeSerialNumber,
                       (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, fits);
}

// The identity of `name` in the open folder, opened for it alone.
FileIdentity identity_in(HANDLE folder, const std::string& name) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (open_relative(folder, name.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                    FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, handle) != 0) {
    return {};
  }
  const FileIdentity identity = identity_of(handle);
  CloseHandle(handle);
  return identity;
}

FolderEntry entry_of(const std::string& prefix, const std::wstring& name, DWORD attributes,
                     std::int64_t size) {
  FolderEntry entry{utf8_from_utf16(name), kind_from(attributes), size, false, {}};
  if (entry.kind == EntryKind::file) {
    entry.own_program = is_own_program(system_path((prefix + entry.name).c_str()));
  }
  return entry;
}

std::uint64_t index_of(const FILE_ID_BOTH_DIR_INFO& info, bool& fits) {
  fits = true;
  return static_cast<std::uint64_t>(info.FileId.QuadPart);
}
std::uint64_t index_of(const FILE_ID_EXTD_DIR_INFO& info, bool& fits) {
  return low_half(info.FileId, fits);
}

// Appends the entries of one answer of GetFileInformationByHandleEx.
template <typename Info>
void take_entries(const unsigned char* bytes, DWORD volume, const std::string& prefix,
                  std::vector<FolderEntry>& entries) {
  for (;;) {
    const auto& info = *reinterpret_cast<const Info*>(bytes);
    const std::wstring name(info.FileName, info.FileNameLength / sizeof(wchar_t));
    if (name != L"." && name != L"..") {
      FolderEntry entry = entry_of(prefix, name, info.FileAttributes, info.EndOfFile.QuadPart);
      bool fits = true;
      const std::uint64_t index = index_of(info, fits);
      if (entry.kind == EntryKind::file) entry.identity = identity_from(volume, index, fits);
      entries.push_back(std::move(entry));
    }
    if (info.NextEntryOffset == 0) return;
    bytes += info.NextEntryOffset;
  }
}

enum class Listing { done, failed, unavailable };

// The entries read through the folder's own handle, each file's index among
// them, so no file is opened for its identity. Unavailable before Vista, or
// where the file system gives no such list.
Listing list_with_ids(HANDLE folder, const std::string& prefix, std::vector<FolderEntry>& entries,
                      std::string& error) {
  const InfoByHandle get = info_by_handle();
  BY_HANDLE_FILE_INFORMATION info;
  if (get == nullptr || !GetFileInformationByHandle(folder, &info)) return Listing::unavailable;
  std::vector<std::uint64_t> buffer(8192);  // aligned for the entries' 64-bit fields
  bool wide = true;  // 128-bit ids, which show a ReFS one too wide to keep; from Windows 8 on
  bool first = true;
  for (;;) {
    const FILE_INFO_BY_HANDLE_CLASS kind =
        wide ? (first ? FileIdExtdDirectoryRestartInfo : FileIdExtdDirectoryInfo)
             : (first ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo);
    if (!get(folder, kind, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
      const DWORD failure = GetLastError();
      if (failure == ERROR_NO_MORE_FILES || (first && failure == ERROR_FILE_NOT_FOUND)) {
        return Listing::done;
      }
      if (!first) {
        error = error_text_of(failure);
        return Listing::failed;
      }
      if (!wide) return Listing::unavailable;
      wide = false;
      continue;
    }
    first = false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    if (wide) {
      take_entries<FILE_ID_EXTD_DIR_INFO>(bytes, info.dwVolumeSerialNumber, prefix, entries);
    } else {
      take_entries<FILE_ID_BOTH_DIR_INFO>(bytes, info.dwVolumeSerialNumber, prefix, entries);
    }
  }
}

// The entries found through the path rather than the folder's handle: those
// whose names match `pattern`, or all of them where list_with_ids cannot.
bool list_by_path(HANDLE handle, const std::string& prefix, const char* pattern,
                  std::vector<FolderEntry>& entries, std::string& error) {
  // A pattern matches as the system matches names, from the path. Every file
  // and folder is then opened through the folder's handle, so a folder
  // swapped meanwhile can at worst offer names that are not there. A pattern
  // matches few files: each is opened for its identity.
  const std::string query = prefix + (pattern != nullptr ? pattern : "*");
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(system_path(query.c_str()).c_str(), FindExInfoStandard, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    if (failure == ERROR_FILE_NOT_FOUND || failure == ERROR_NO_MORE_FILES) return true;
    error = error_text_of(failure);
    return false;
  }
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry entry =
        entry_of(prefix, name, found.dwFileAttributes,
                 static_cast<std::int64_t>((static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) |
                                           found.nFileSizeLow));
    if (entry.kind == EntryKind::file) entry.identity = identity_in(handle, entry.name);
    entries.push_back(std::move(entry));
  } while (FindNextFileW(search, &found));
  const DWORD failure = GetLastError();
  FindClose(search);
  if (failure != ERROR_NO_MORE_FILES) {
    error = error_text_of(failure);
    return false;
  }
  return true;
}

}  // namespace

// Windows has no small limit of handles a process may hold open.
std::size_t folder_budget() { return 256; }

EntryKind kind_of(const char* path, std::int64_t& size, bool& own_program, FileIdentity& identity) {
  identity = {};
  const std::wstring system = system_path(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (system.empty() || !GetFileAttributesExW(system.c_str(), GetFileExInfoStandard, &data)) {
    return EntryKind::missing;
  }
  size = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                   data.nFileSizeLow);
  // A path the user names is followed, as open() follows it.
  const DWORD attributes =
      data.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
  const EntryKind kind = kind_from(attributes);
  own_program = kind == EntryKind::file && is_own_program(system);
  if (kind == EntryKind::file) {
    // No data access: no program's sharing mode refuses it.
    const HANDLE handle = CreateFileW(system.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      identity = identity_of(handle);
      CloseHandle(handle);
    }
  }
  return kind;
}

bool open_folder(const char* path, Folder& folder, std::string& error) {
  HANDLE handle = CreateFileW(system_path(path).c_str(), kFolderAccess, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = error_text_of(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(handle);
    error = "not a folder";
    return false;
  }
  folder.handle = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

bool open_subfolder(Folder parent, const char* name, Folder& folder, std::string& error) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  const DWORD status =
      open_relative(reinterpret_cast<HANDLE>(parent.handle), name, kFolderAccess, kShareAll,
                    FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT |
                        FILE_SYNCHRONOUS_IO_NONALERT,
                    handle);
  if (status != 0) {
    error = error_text_of(status);
    return false;
  }
  return checked_folder(handle, folder, error);
}

bool list_folder(Folder folder, const std::string& path, const char* pattern,
                 std::vector<FolderEntry>& entries, std::string& error) {
  const auto handle = reinterpret_cast<HANDLE>(folder.handle);
  std::string prefix = path;
  if (!prefix.empty() && prefix.back() != '\\' && prefix.back() != '/' && prefix.back() != ':') {
    prefix += '\\';
  }
  if (pattern == nullptr) {
    const Listing listing = list_with_ids(handle, prefix, entries, error);
    if (listing != Listing::unavailable) return listing == Listing::done;
  }
  return list_by_path(handle, prefix, pattern, entries, error);
}

void close_folder(Folder folder) { CloseHandle(reinterpret_cast<HANDLE>(folder.handle)); }

}  // namespace tavo::platform
