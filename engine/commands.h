// The four commands that rewrite a file, and everything that sets them
// apart, in one table: the planner, the run, the slot codec and the report
// all read it.
#ifndef TAVO_COMMANDS_H
#define TAVO_COMMANDS_H

#include <cstdint>

#include "tavo/tavo.h"
#include "transforms.h"

namespace tavo {

// Stored in a journal's slots: the values never change. One more than the
// public Keyword of the same name (tavo.h).
enum class RunKeyword : std::uint8_t { en = 1, de = 2, rxen = 3, rxde = 4 };

enum class RecordUse {
  none,
  appends,         // written after the data once the data is done
  checks_and_cuts  // checked before the run, cut off once the data is done
};

struct CommandSpec {
  RunKeyword keyword;
  const char* text;
  Direction direction;  // forward encrypts, reverse decrypts
  RecordUse record;
  RunKeyword inverse;  // the command that undoes this one, and its run
  // Whether only the low byte of the given way or factor counts; otherwise
  // the whole number must match the record or name a known way.
  bool low_way_byte;
  bool low_factor_byte;
};

inline constexpr CommandSpec kCommands[] = {
    {RunKeyword::en, "en", Direction::forward, RecordUse::appends, RunKeyword::de, true, true},
    {RunKeyword::de, "de", Direction::reverse, RecordUse::checks_and_cuts, RunKeyword::en, false,
     false},
    {RunKeyword::rxen, "rxen", Direction::forward, RecordUse::none, RunKeyword::rxde, true, true},
    {RunKeyword::rxde, "rxde", Direction::reverse, RecordUse::none, RunKeyword::rxen, false, true},
};

constexpr const CommandSpec& command_spec(RunKeyword keyword) {
  return kCommands[static_cast<int>(keyword) - 1];
}
static_assert(command_spec(RunKeyword::rxde).keyword == RunKeyword::rxde);
static_assert(static_cast<int>(Keyword::rxde) + 1 == static_cast<int>(RunKeyword::rxde) &&
              static_cast<int>(Keyword::en) + 1 == static_cast<int>(RunKeyword::en));

// The command of a public keyword; null for the peek, which rewrites nothing.
constexpr const CommandSpec* command_for(Keyword keyword) {
  return keyword == Keyword::peek
             ? nullptr
             : &command_spec(static_cast<RunKeyword>(static_cast<int>(keyword) + 1));
}

// The public keyword of a command; the peek for none.
constexpr Keyword keyword_of(const CommandSpec* command) {
  return command == nullptr ? Keyword::peek
                            : static_cast<Keyword>(static_cast<int>(command->keyword) - 1);
}
static_assert(command_for(Keyword::de)->keyword == RunKeyword::de &&
              keyword_of(command_for(Keyword::rxen)) == Keyword::rxen);

// A way and a factor as a command takes them from the command line.
struct Key {
  std::int32_t way;
  std::int32_t factor;
};

// The key as `command` applies it and would record it in a slot: low bytes
// where the command keeps only those.
constexpr Key reduced_key(const CommandSpec& command, Key given) {
  return {command.low_way_byte ? given.way & 0xFF : given.way,
          command.low_factor_byte ? given.factor & 0xFF : given.factor};
}

}  // namespace tavo

#endif  // TAVO_COMMANDS_H
