// A run over many files, whole: the files a command line names (targets.h)
// run side by side (runner.h), then one summary line. run_many (tavo.h) is
// the front ends' way in; the dispatcher comes in through run_batch.
#ifndef TAVO_RUN_MANY_H
#define TAVO_RUN_MANY_H

#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "operations.h"
#include "tavo/tavo.h"

namespace tavo {

// Runs `command` (null: the peek) with `given` over the files `targets`
// name; run_many (tavo.h) in the engine's own terms.
ManyEnd run_batch(const CommandSpec* command, Key given, const std::vector<std::string>& targets,
                  const Options& options, const Channels& channels);

// 2981 as "2,981".
std::string grouped(std::int64_t count);

}  // namespace tavo

#endif  // TAVO_RUN_MANY_H
