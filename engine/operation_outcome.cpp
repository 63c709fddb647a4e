// How a file operation ends (operation_outcome.h): the line on standard
// output, the reason on standard error and the result, for every outcome.
#include "operation_outcome.h"

#include <string>

#include "output.h"

namespace tavo {
namespace {

// The end of "tavo KEYWORD file(PATH) ..." for the outcomes with that line.
const char* line_tail(Outcome outcome) {
  switch (outcome) {
    case Outcome::ok:
      return "ok.";
    case Outcome::in_use:
      return "in use by another run";
    case Outcome::unknown_way:
      return "unknown way";
    case Outcome::way_differs:
      return "x!=x";
    case Outcome::factor_differs:
      return "p!=p";
    case Outcome::io_error:
    case Outcome::io_error_interrupted:
    case Outcome::io_error_at_end:
      return "io error";
    case Outcome::cancelled:
      return "cancelled";
    case Outcome::already_done:
      return "skipped";
    case Outcome::not_opened:
    case Outcome::not_regular:
    case Outcome::too_short:
    case Outcome::no_record:
    case Outcome::interrupted:
    case Outcome::torn:
    case Outcome::would_run:
      return nullptr;
  }
  return nullptr;
}

// The line on standard output, if the outcome has one.
void print_line(const Command& command, Outcome outcome, const std::string& detail) {
  const Sink out = command.channels.out;
  const char* path = command.shown();
  const bool peek = command.spec == nullptr;
  if (const char* tail = line_tail(outcome)) {
    // "rxen" has always reported its unknown way under the name "en".
    const bool as_en =
        outcome == Outcome::unknown_way && !peek && command.spec->keyword == RunKeyword::rxen;
    print(out, "tavo %s file(%s) %s\r\n", as_en ? "en" : command.text, path, tail);
  } else if (peek && (outcome == Outcome::too_short || outcome == Outcome::no_record)) {
    // Among many files the line names the file, as that of "de" does.
    if (command.file != nullptr) {
      print(out, "unknown tavo?file(%s)\r\n", path);
    } else {
      print(out, "unknown tavo?file?\r\n");
    }
  } else if (outcome == Outcome::would_run) {
    print(out, "tavo %s file(%s) %s\r\n", command.text, path, detail.c_str());
  } else if (outcome == Outcome::no_record) {
    print(out, "unknown tavo?file(%s)\r\n", path);
  } else if (outcome == Outcome::interrupted) {
    print(out, "tavo file(%s) holds an interrupted run: %s\r\n", path, detail.c_str());
  } else if (outcome == Outcome::torn) {
    print(out,
          "tavo file(%s) holds an interrupted run with a torn sector at byte %s: "
          "nothing changed\r\n",
          path, detail.c_str());
  }
}

// The reason for a failure, for standard error.
std::string reason_for(Outcome outcome, const std::string& detail) {
  switch (outcome) {
    case Outcome::ok:
    case Outcome::cancelled:
    case Outcome::interrupted:
    case Outcome::not_opened:
    case Outcome::io_error:
      return detail;
    case Outcome::not_regular:
      return detail.empty() ? "not a regular file" : detail;
    case Outcome::already_done:
    case Outcome::would_run:
      return detail;
    case Outcome::in_use:
      return "held by another run";
    case Outcome::unknown_way:
      return "unknown way " + detail + " (ways are 1 to 4)";
    case Outcome::too_short:
      return "too short to hold a record";
    case Outcome::no_record:
      return "no valid record at its end";
    case Outcome::way_differs:
      return "the way differs from the one in its record";
    case Outcome::factor_differs:
      return "the factor differs from the one in its record" + detail;
    case Outcome::io_error_interrupted:
      return detail + "; the file holds an interrupted run: the same command finishes it";
    case Outcome::io_error_at_end:
      return detail +
             "; the run had ended, but the disk may still hold it interrupted: check with "
             "x=xxx before running any command on the file again";
    case Outcome::torn:
      return "the sector at byte " + detail + " holds neither its old nor its new bytes";
  }
  return detail;
}

Result result_of(Outcome outcome) {
  switch (outcome) {
    case Outcome::ok:
      return Result::ok;
    case Outcome::cancelled:
      return Result::cancelled;
    case Outcome::interrupted:
      return Result::interrupted;
    default:
      return Result::failed;
  }
}

}  // namespace

void give_reason(const Channels& channels, const std::string& reason) {
  print(channels.errors, "tavo: %s\r\n", reason.c_str());
  if (channels.reasons != nullptr) channels.reasons->push_back(reason);
}

Result report(const Command& command, Outcome outcome, const std::string& detail) {
  print_line(command, outcome, detail);
  const Result result = result_of(outcome);
  if (result == Result::failed && outcome != Outcome::would_run) {
    const std::string reason = reason_for(outcome, detail);
    give_reason(command.channels, std::string(command.shown()) + ": " + reason);
    if (command.file != nullptr && command.file->reason != nullptr) *command.file->reason = reason;
  }
  return result;
}

FileEnd file_result(Outcome outcome) {
  switch (outcome) {
    case Outcome::ok:
    case Outcome::would_run:
      return FileEnd::ok;
    case Outcome::already_done:
      return FileEnd::skipped;
    case Outcome::in_use:
      return FileEnd::held;
    case Outcome::cancelled:
      return FileEnd::cancelled;
    default:
      return FileEnd::failed;
  }
}

bool skipped_in_folder(const Command& command, Outcome outcome) {
  if (outcome != Outcome::not_regular || command.file == nullptr ||
      command.file->folder == nullptr) {
    return false;
  }
  print(command.channels.out, "tavo %s file(%s) skipped\r\n", command.text, command.shown());
  const char* reason = "skipped: a link or not a regular file, not followed";
  give_reason(command.channels, std::string(command.shown()) + ": " + reason);
  if (command.file->reason != nullptr) *command.file->reason = reason;
  return true;
}

std::string run_commands(const char* path, const RunPlan& plan) {
  const auto command = [&](RunKeyword keyword) {
    return "\"tavo " + std::string(path) + " " + command_spec(keyword).text + " " +
           std::to_string(plan.way) + " " + std::to_string(plan.factor) + "\"";
  };
  return "finish it with " + command(plan.keyword) + " or undo it with " +
         command(plan.command().inverse);
}

}  // namespace tavo
