// The figures of the progress displays (tavo/progress.h), shared by the
// console's progress line and the dialog's progress window.
#include "tavo/progress.h"

#include <cstdio>

namespace tavo {

std::string format_bytes(std::int64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes < 0 ? 0 : bytes));
    return text;
  }
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  // Round first, so 1023.96 KiB shows as 1.0 MiB, not 1024.0 KiB.
  while (value >= 1023.95 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string format_duration(double seconds) {
  const long long whole = seconds < 0 ? 0 : static_cast<long long>(seconds + 0.5);
  char text[32];
  if (whole < 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
  }
  return text;
}

ProgressFigures progress_figures(std::int64_t done, std::int64_t total, double elapsed_seconds) {
  ProgressFigures figures;
  if (total > 0) {
    const std::int64_t clamped = done < 0 ? 0 : (done > total ? total : done);
    figures.percent =
        static_cast<int>(static_cast<double>(clamped) * 100 / static_cast<double>(total));
  }
  figures.done = format_bytes(done);
  figures.total = format_bytes(total);
  // A tenth of a second and some data, or the first figures are noise.
  if (elapsed_seconds >= 0.1 && done > 0) {
    const double per_second = static_cast<double>(done) / elapsed_seconds;
    figures.speed = format_bytes(static_cast<std::int64_t>(per_second)) + "/s";
    const double left = total > done ? static_cast<double>(total - done) / per_second : 0;
    figures.time_left = format_duration(left);
  }
  return figures;
}

}  // namespace tavo
