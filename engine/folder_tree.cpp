// The folders of a run over many files, and the ones held open (folder_tree.h).
#include "folder_tree.h"

#include <algorithm>

namespace tavo {

using platform::Folder;

FolderTree::~FolderTree() {
  for (const auto& [index, open] : open_) platform::close_folder(open.folder);
}

int FolderTree::add(int parent, std::string path, std::string shown) {
  folders_.push_back({parent, std::move(path), std::move(shown)});
  return static_cast<int>(folders_.size()) - 1;
}

void append_name(std::string& path, const std::string& name) {
  const char separator = platform::folder_separator();
  if (!path.empty() && path.back() != separator && path.back() != '/') path += separator;
  path += name;
}

std::string FolderTree::printed(int index, const std::string& name) const {
  std::vector<int> chain;
  for (int at = index; at >= 0; at = folders_[static_cast<std::size_t>(at)].parent) {
    chain.push_back(at);
  }
  if (chain.empty()) return name;
  std::string path = folders_[static_cast<std::size_t>(chain.back())].shown;
  for (auto at = chain.rbegin() + 1; at != chain.rend(); ++at) {
    append_name(path, folders_[static_cast<std::size_t>(*at)].path);
  }
  if (!name.empty()) append_name(path, name);
  return path.empty() ? "." : path;
}

const Folder* FolderTree::hold(int index, int& failed, std::string& error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  // Up to the nearest folder open, then down again by names.
  std::vector<int> closed;
  int at = index;
  while (at >= 0 && open_.find(at) == open_.end()) {
    closed.push_back(at);
    at = folders_[static_cast<std::size_t>(at)].parent;
  }
  Open* above = at >= 0 ? &open_.at(at) : nullptr;
  // Each folder is held while the next one opens inside it, so that no room
  // made closes it; the last one stays held for the caller.
  if (above != nullptr) ++above->holds;
  for (auto next = closed.rbegin(); next != closed.rend(); ++next) {
    const WalkedFolder& folder = folders_[static_cast<std::size_t>(*next)];
    Folder opened{};
    const bool ok = above == nullptr ? platform::open_folder(folder.path.c_str(), opened, error)
                                     : platform::open_subfolder(above->folder, folder.path.c_str(),
                                                                opened, error);
    if (above != nullptr) --above->holds;
    if (!ok) {
      failed = *next;
      close_unused_past_budget();
      return nullptr;
    }
    above = &open_.emplace(*next, Open{opened, 1, ++clock_}).first->second;
    close_unused_past_budget();
  }
  above->used = ++clock_;
  return &above->folder;
}

void FolderTree::release(int index) {
  const std::lock_guard<std::mutex> lock(mutex_);
  --open_.at(index).holds;
  close_unused_past_budget();
}

void FolderTree::close_unused_past_budget() {
  while (open_.size() > budget_) {
    auto oldest = open_.end();
    for (auto it = open_.begin(); it != open_.end(); ++it) {
      if (it->second.holds == 0 &&
          (oldest == open_.end() || it->second.used < oldest->second.used)) {
        oldest = it;
      }
    }
    if (oldest == open_.end()) return;  // all held: the runs bound them
    platform::close_folder(oldest->second.folder);
    open_.erase(oldest);
  }
}

}  // namespace tavo
