#include "chunked_pass.h"

namespace tavo {

PassOutcome process_chunks(platform::File file, Transform transform, std::int32_t factor,
                           std::int64_t data_length, std::uint8_t* buffer,
                           const Observer& observer) {
  std::int64_t total = data_length;
  if (total == kNoDataLength && !platform::file_size(file, total)) total = 0;
  std::int64_t pos = 0;
  for (int chunk = 0;; ++chunk) {
    if (observer.progress != nullptr) observer.progress(observer.context, pos, total);
    if (chunk % 128 == 0 && observer.cancel_requested != nullptr &&
        observer.cancel_requested(observer.context)) {
      return {false, pos, true};
    }
    std::size_t got = 0;
    if (!platform::read_at(file, pos, buffer, static_cast<std::size_t>(kChunkSize), got)) {
      return {false, pos, true};
    }
    std::int64_t n = static_cast<std::int64_t>(got);
    if (n < 1) break;
    if (data_length != kNoDataLength && pos + n > data_length) {
      n = data_length - pos;
      if (n < 1) break;
    }
    const auto count = static_cast<std::int32_t>(n);
    apply_transform(transform, count, buffer, factor);
    if (!platform::write_at(file, pos, buffer, static_cast<std::size_t>(count))) {
      // Part of the chunk may have reached the file: put its old bytes back.
      apply_transform(inverse(transform), count, buffer, factor);
      const bool restored = platform::write_at(file, pos, buffer, static_cast<std::size_t>(count));
      return {false, pos, restored};
    }
    pos += n;
    if (count < kChunkSize) break;
  }
  return {true, pos, true};
}

bool process_chunks_or_undo(platform::File file, Transform transform, std::int32_t factor,
                            std::int64_t data_length, std::uint8_t* buffer, bool& restored,
                            const Observer& observer) {
  const PassOutcome outcome =
      process_chunks(file, transform, factor, data_length, buffer, observer);
  restored = true;
  if (outcome.ok) return true;
  const PassOutcome undo =
      outcome.done > 0 ? process_chunks(file, inverse(transform), factor, outcome.done, buffer)
                       : PassOutcome{true, 0, true};
  restored = outcome.rest_intact && undo.ok;
  return false;
}

}  // namespace tavo
