// The files a command line names (targets.h).
#include "targets.h"

#include <unordered_map>

#include "folder_walk.h"
#include "output.h"

namespace tavo {
namespace {

using platform::EntryKind;

void add_target(FileList& list, const std::string& target, bool recursive) {
  if (platform::is_pattern(target.c_str())) {
    const std::size_t cut = target.find_last_of("\\/");
    const std::string folder = cut == std::string::npos ? "." : target.substr(0, cut + 1);
    const std::string pattern = cut == std::string::npos ? target : target.substr(cut + 1);
    const std::size_t before = list.files.size();
    walk_folder(list, folder, cut == std::string::npos ? "" : folder, pattern.c_str(), recursive);
    // As a single run on the name would, a pattern that matches nothing fails.
    if (list.files.size() == before)
      list.files.push_back({-1, target, 0, {}, "no file matches", {}});
    return;
  }
  std::int64_t size = 0;
  bool own = false;
  platform::FileIdentity identity;
  switch (platform::kind_of(target.c_str(), size, own, identity)) {
    case EntryKind::folder:
      if (recursive) {
        walk_folder(list, target, target, nullptr, true);
      } else {
        list.files.push_back({-1, target, 0, "skipped: a folder (-r takes it in)", {}, {}});
      }
      return;
    case EntryKind::file:
      list.files.push_back(
          {-1, target, size, own ? "skipped: the program itself" : "", {}, identity});
      return;
    case EntryKind::missing:
    case EntryKind::link:
    case EntryKind::other:
      // Opened as named, so its failure reads as that of a single run.
      list.files.push_back({-1, target, 0, {}, {}, {}});
      return;
  }
}

// The paths in a list (a file, a pipe, or standard input for "-"): one a
// line, UTF-8, or each ending in a NUL byte with `null_ends` or where the
// list holds one (a NUL is in no path, so no line would be cut short at
// it); empty entries are left out.
bool read_list(const char* path, bool null_ends, std::vector<std::string>& entries,
               std::string& error) {
  std::string text;
  if (!platform::read_all(path, text, error)) return false;
  const char end = null_ends || text.find('\0') != std::string::npos ? '\0' : '\n';
  // A byte order mark, as Notepad writes one, is not part of the first path.
  if (end == '\n' && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t stop = text.find(end, start);
    if (stop == std::string::npos) stop = text.size();
    std::string entry = text.substr(start, stop - start);
    if (end == '\n' && !entry.empty() && entry.back() == '\r') entry.pop_back();
    if (!entry.empty()) entries.push_back(std::move(entry));
    start = stop + 1;
  }
  return true;
}

}  // namespace

bool is_list(const std::string& target) {
  return target.size() > 1 && target[0] == '@' && !platform::exists(target.c_str());
}

void add_targets(FileList& list, const std::vector<std::string>& targets, const Options& options) {
  const bool recursive = options.recursive;
  for (const std::string& target : targets) {
    if (!is_list(target)) {
      add_target(list, target, recursive);
      continue;
    }
    std::vector<std::string> lines;
    std::string error;
    if (!read_list(target.c_str() + 1, options.null_ends, lines, error)) {
      list.files.push_back({-1, target, 0, {}, "cannot read the list: " + error, {}});
      continue;
    }
    for (const std::string& line : lines) add_target(list, line, recursive);
  }
}

void skip_other_names(FileList& list) {
  struct Hash {
    std::size_t operator()(const platform::FileIdentity& identity) const {
      return std::hash<std::uint64_t>()(identity.index * 31 + identity.volume);
    }
  };
  std::unordered_map<platform::FileIdentity, std::size_t, Hash> first;
  for (std::size_t index = 0; index < list.files.size(); ++index) {
    ListedFile& item = list.files[index];
    if (!item.skipped.empty() || !item.failed.empty() || !item.identity.known()) continue;
    const auto [found, added] = first.emplace(item.identity, index);
    if (added) continue;
    const ListedFile& named = list.files[found->second];
    item.skipped =
        "skipped: the same file as " + shown_name(list.folders.printed(named.folder, named.name));
  }
}

bool names_many_files(const char* target, const Options& options) {
  if (options.dry_run || platform::is_pattern(target) || is_list(target)) return true;
  std::int64_t size = 0;
  bool own = false;
  platform::FileIdentity identity;
  return options.recursive && platform::kind_of(target, size, own, identity) == EntryKind::folder;
}

}  // namespace tavo
