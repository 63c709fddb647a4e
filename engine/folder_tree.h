// The folders a run over many files walks, kept as a tree of names, and the
// few of them held open at once: every folder is opened by its name inside
// its parent (never through a link), from the nearest one still open, so the
// descriptors held stay within a budget however deep the tree and however
// many files run at once, and memory grows with the folders, not with their
// depth squared.
#ifndef TAVO_FOLDER_TREE_H
#define TAVO_FOLDER_TREE_H

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform.h"

namespace tavo {

// A folder met on the way: a folder given (no parent, opened by `path`, its
// files printed after `shown`) or one inside another (`path` is its name).
struct WalkedFolder {
  int parent;  // index of the folder it is in; -1: given
  std::string path;
  std::string shown;  // given folders only
};

// Appends `name` to a folder's `path`, with a separator where it needs one.
void append_name(std::string& path, const std::string& name);

class FolderTree {
 public:
  explicit FolderTree(std::size_t budget) : budget_(budget) {}
  FolderTree(const FolderTree&) = delete;
  FolderTree& operator=(const FolderTree&) = delete;
  ~FolderTree();

  // Adds a folder; folders are added before any thread holds one.
  int add(int parent, std::string path, std::string shown = {});
  const WalkedFolder& at(int index) const { return folders_[static_cast<std::size_t>(index)]; }

  // `name` inside folder `index` (-1: `name` as given), as printed; without
  // a name, the folder itself.
  std::string printed(int index, const std::string& name) const;

  // Folder `index` open until release(index), from any thread; nullptr with
  // the system's reason and the folder that would not open in `failed`.
  const platform::Folder* hold(int index, int& failed, std::string& error);
  void release(int index);

 private:
  struct Open {
    platform::Folder folder;
    int holds;
    std::uint64_t used;  // when last held, to close the longest unused first
  };

  void close_unused_past_budget();

  std::vector<WalkedFolder> folders_;
  const std::size_t budget_;
  std::mutex mutex_;
  std::unordered_map<int, Open> open_;
  std::uint64_t clock_ = 0;
};

}  // namespace tavo

#endif  // TAVO_FOLDER_TREE_H
