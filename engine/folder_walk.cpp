// The folder walk (folder_walk.h).
#include "folder_walk.h"

#include <algorithm>
#include <vector>

namespace tavo {
namespace {

using platform::EntryKind;
using platform::Folder;
using platform::FolderEntry;

// What the walk does with one entry of a folder; true: walk into it.
bool take_entry(FileList& list, int index, FolderEntry& entry, bool recursive) {
  ListedFile item{index, std::move(entry.name), entry.size, {}, {}, entry.identity};
  switch (entry.kind) {
    case EntryKind::file:
    case EntryKind::missing:  // gone since the listing: its open says so
      if (entry.own_program) item.skipped = "skipped: the program itself";
      break;
    case EntryKind::link:
      item.skipped = "skipped: a link, not followed";
      break;
    case EntryKind::other:
      item.skipped = "skipped: not a regular file";
      break;
    case EntryKind::folder:
      if (recursive) {
        entry.name = std::move(item.name);
        return true;
      }
      item.skipped = "skipped: a folder (-r takes it in)";
      break;
  }
  list.files.push_back(std::move(item));
  return false;
}

// The entries of folder `index`, sorted by name so that two runs see the
// same order; false, with the failure as an item, if it cannot be read.
bool listed(FileList& list, int index, const std::string& path, const char* pattern,
            std::vector<FolderEntry>& entries) {
  int failed = index;
  std::string error;
  const Folder* folder = list.folders.hold(index, failed, error);
  bool read = folder != nullptr;
  if (read) {
    read = platform::list_folder(*folder, path, pattern, entries, error);
    list.folders.release(index);
  }
  if (!read) {
    const WalkedFolder& walked = list.folders.at(index);
    const char* what = folder != nullptr ? "cannot read the folder: " : "cannot open the folder: ";
    list.files.push_back({walked.parent, walked.path, 0, {}, what + error, {}});
    return false;
  }
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return true;
}

// Walks a folder given by its path, or the folder of a pattern, whose
// files are printed with the folder as it was typed (`shown`): depth first,
// each folder's files and folders in the order of their names, holding one
// folder open at a time.
}  // namespace

void walk_folder(FileList& list, const std::string& path, const std::string& shown,
                 const char* pattern, bool recursive) {
  struct Level {
    int folder;
    std::vector<FolderEntry> entries;
    std::size_t next = 0;
    std::size_t path_length = 0;  // of the path that opens it
  };
  // The path of the folder listed now, kept as the walk goes down and up:
  // only the systems that list by path read it.
  std::string opening = path;
  std::vector<Level> levels(1);
  levels[0].folder = list.folders.add(-1, path, shown);
  levels[0].path_length = opening.size();
  if (!listed(list, levels[0].folder, opening, pattern, levels[0].entries)) return;
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.entries.size()) {
      levels.pop_back();
      continue;
    }
    FolderEntry& entry = level.entries[level.next++];
    if (!take_entry(list, level.folder, entry, recursive)) continue;
    opening.resize(level.path_length);
    append_name(opening, entry.name);
    Level inner;
    inner.path_length = opening.size();
    inner.folder = list.folders.add(level.folder, std::move(entry.name));
    if (listed(list, inner.folder, opening, nullptr, inner.entries)) {
      levels.push_back(std::move(inner));
    }
  }
}

}  // namespace tavo
