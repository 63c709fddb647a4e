// The figures a progress display shows for a running pass, formatted the
// same way by both programs. Plain ASCII, free of any language.
#ifndef TAVO_PROGRESS_H
#define TAVO_PROGRESS_H

#include <cstdint>
#include <string>

namespace tavo {

struct ProgressFigures {
  int percent = 0;        // 0 to 100, rounded down
  std::string done;       // "1.5 GiB"
  std::string total;      // "2.0 GiB"
  std::string speed;      // "512.0 MiB/s"; empty until a speed can be told
  std::string time_left;  // "0:03", "1:02:03"; empty while the speed is unknown
};

// `done` of `total` bytes after `elapsed_seconds` of the pass. The speed is
// the average since the start.
ProgressFigures progress_figures(std::int64_t done, std::int64_t total, double elapsed_seconds);

// "0 B" to "1023 B", then one decimal in KiB, MiB, GiB or TiB.
std::string format_bytes(std::int64_t bytes);

// Whole seconds as "m:ss", or "h:mm:ss" from an hour on.
std::string format_duration(double seconds);

}  // namespace tavo

#endif  // TAVO_PROGRESS_H
