// The files of a run over many files, in the order they run, with the
// folders they were found in (folder_tree.h). targets.h fills the list,
// folder_walk.h walks folders into it, runner.h runs it.
#ifndef TAVO_FILE_LIST_H
#define TAVO_FILE_LIST_H

#include <cstdint>
#include <string>
#include <vector>

#include "folder_tree.h"
#include "platform.h"

namespace tavo {

struct ListedFile {
  int folder;        // index into the walked folders, or -1: opened by its path
  std::string name;  // in the folder, or the path
  std::int64_t size;
  std::string skipped;  // why it is skipped unopened; empty: it runs
  std::string failed;   // why it failed before it could be opened
  platform::FileIdentity identity;
};

struct FileList {
  explicit FileList(std::size_t folder_budget) : folders(folder_budget) {}
  FolderTree folders;
  std::vector<ListedFile> files;
};

}  // namespace tavo

#endif  // TAVO_FILE_LIST_H
