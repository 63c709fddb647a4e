// A run over many files: the files a command line names (targets.h), each
// run as a single command would run it on worker threads that share their
// flushes, then one summary line.
#ifndef TAVO_RUNNER_H
#define TAVO_RUNNER_H

#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "operations.h"

namespace tavo {

// Runs `command` (null: the peek) with `given` over the files `targets`
// name; run_many (tavo.h) in the engine's own terms.
ManyEnd run_batch(const CommandSpec* command, Key given, const std::vector<std::string>& targets,
                  const Options& options, const Channels& channels);

// 2981 as "2,981".
std::string grouped(std::int64_t count);

}  // namespace tavo

#endif  // TAVO_RUNNER_H
