// The runner of a run over many files: the files of a list run on worker
// threads in their order and print as one file after the other. Each file
// is batch_file.h's; the whole run, with its summary, is run_many.h's.
#ifndef TAVO_RUNNER_H
#define TAVO_RUNNER_H

#include <cstddef>
#include <vector>

#include "batch_file.h"
#include "file_list.h"
#include "operations.h"
#include "tavo/tavo.h"

namespace tavo {

// Runs the files of `list`, whose folders may hold `folder_budget` handles,
// and prints their lines to `channels` in the order of the list; gives how
// each file ended, in that order, up to where the run was stopped (the file
// whose run was stopped ended cancelled).
std::vector<FileEnd> run_in_order(FileList& list, std::size_t folder_budget, const Batch& batch,
                                  const Channels& channels);

}  // namespace tavo

#endif  // TAVO_RUNNER_H
