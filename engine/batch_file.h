// One file of a run over many files: skipped or refused as its listing says,
// or opened in its folder and run (operations.h). The runner that runs the
// files side by side is runner.h, the whole run run_many.h.
#ifndef TAVO_BATCH_FILE_H
#define TAVO_BATCH_FILE_H

#include <cstddef>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "file_list.h"
#include "operations.h"

namespace tavo {

// What a run over many files asks of each of its files.
struct Batch {
  const CommandSpec* command;  // null: the peek
  Key given;
  Options options;
};

// Runs the file `index` of `list`, opened as `path` and printed as `shown`,
// with the lines of a single run (a transform's timing line too) going to
// `channels`; `reason` gets why it failed or was skipped.
FileEnd run_listed_file(const Batch& batch, FileList& list, std::size_t index,
                        const std::string& path, const std::string& shown, const Channels& channels,
                        std::string& reason);

}  // namespace tavo

#endif  // TAVO_BATCH_FILE_H
