// The Linux names and paths: bytes passed on unchanged, the record's name
// after the last backslash, patterns left to the shell. Files and folders are
// in platform_posix_files.cpp and platform_posix_folders.cpp.
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform.h"

namespace tavo::platform {

bool exists(const char* path) { return ::access(path, F_OK) == 0; }

std::string record_name(const char* path) {
  const char* backslash = std::strrchr(path, '\\');
  return backslash != nullptr ? backslash + 1 : path;
}

std::string displayed_name(const std::string& stored) { return stored; }

bool is_pattern(const char*) { return false; }

char folder_separator() { return '/'; }

bool shell_expands_patterns() { return true; }

}  // namespace tavo::platform
