// The folder walk of a run over many files: depth first, each folder's
// entries in the order of their names, every folder opened inside the one
// above it through the folder tree (folder_tree.h), never through a link.
#ifndef TAVO_FOLDER_WALK_H
#define TAVO_FOLDER_WALK_H

#include <string>

#include "file_list.h"

namespace tavo {

// Adds the files of the folder at `path` to `list`, printed after `shown`;
// with a `pattern` only the entries it matches (where the system matches
// patterns), with `recursive` those of its folders too.
void walk_folder(FileList& list, const std::string& path, const std::string& shown,
                 const char* pattern, bool recursive);

}  // namespace tavo

#endif  // TAVO_FOLDER_WALK_H
