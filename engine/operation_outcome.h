// How a file operation ends, in one vocabulary, and the one place that
// reports it. The operations themselves are operation_transform.cpp and
// operation_peek.cpp; opening their file is operation_open.h.
#ifndef TAVO_OPERATION_OUTCOME_H
#define TAVO_OPERATION_OUTCOME_H

#include <string>

#include "operations.h"
#include "run.h"

namespace tavo {

// Every way an operation can end. report() is the one place that prints.
enum class Outcome {
  ok,
  not_opened,  // the system's reason in the detail
  not_regular,
  in_use,
  unknown_way,
  too_short,
  no_record,
  way_differs,
  factor_differs,
  io_error,  // the system's reason in the detail
  io_error_interrupted,
  io_error_at_end,  // the last flush failed; the system's reason in the detail
  cancelled,
  interrupted,  // the two commands that finish or undo it in the detail
  torn,         // the offset of the torn piece in the detail
  // Only in runs over many files:
  already_done,  // "en": the outer record holds this key; "de": no record
  would_run,     // a dry run; what the run would do in the detail
};

// One operation on one file, as its report names it.
struct Command {
  const CommandSpec* spec;  // null for the peek
  const char* text;
  const char* path;
  const Channels& channels;
  const FileRef* file = nullptr;  // set in a run over many files
  // The path as the output shows it.
  const char* shown() const {
    return file != nullptr && file->shown != nullptr ? file->shown : path;
  }
};

// Prints the outcome's line and, for a failure, its reason (also kept in the
// file's reason among many files); gives the command's result.
Result report(const Command& command, Outcome outcome, const std::string& detail = {});

// How a transforming command's file ended among many files.
FileEnd file_result(Outcome outcome);

// What a walk found a file turned, by the time it was opened, into a link or
// something else than a file: skipped as the walk skips them. True when the
// outcome is that, with the skip's lines printed.
bool skipped_in_folder(const Command& command, Outcome outcome);

// The detail of an interrupted run found in the file at `path`: the two
// commands that finish it and undo it.
std::string run_commands(const char* path, const RunPlan& plan);

}  // namespace tavo

#endif  // TAVO_OPERATION_OUTCOME_H
