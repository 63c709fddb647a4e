// The files a command line names for a run over many files: names given,
// folders walked (folder_walk.h), lists read and, on Windows, patterns
// matched; each file once, whatever names lead to it.
#ifndef TAVO_TARGETS_H
#define TAVO_TARGETS_H

#include <string>
#include <vector>

#include "command_line.h"
#include "file_list.h"

namespace tavo {

// Adds the files each of `targets` names to `list`, in order.
void add_targets(FileList& list, const std::vector<std::string>& targets, const Options& options);

// One file, one run: a file reached by several names (hard links, a name
// given twice, a list and a pattern) runs under the first of them only, so
// that it is transformed once, with or without --again, and a dry run
// counts as the run does.
void skip_other_names(FileList& list);

// Whether `target` is a list (@LIST where no file has that name).
bool is_list(const std::string& target);

// Whether `target` asks for a run over many files rather than a single run.
bool names_many_files(const char* target, const Options& options);

}  // namespace tavo

#endif  // TAVO_TARGETS_H
