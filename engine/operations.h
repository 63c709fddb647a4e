// The five file operations. Each opens the file, does its work, closes the
// file and returns 1 for success or 0 for failure, printing its report lines
// to `out`. A file that cannot be opened gives 0 and no line.
//
// An I/O failure during a transforming operation ends it with the line
// "tavo KEYWORD file(PATH) io error" and result 0, after putting back what it
// had already changed wherever the file can still be written.
#ifndef TAVO_OPERATIONS_H
#define TAVO_OPERATIONS_H

#include <cstdint>

#include "tavo/tavo.h"

namespace tavo {

// Where an operation reports: its lines, the one-line reasons for its
// failures, and the observer of a running pass. Built from a sink alone, the
// reasons are dropped and nothing observes the pass.
struct Channels {
  Channels(Sink out_sink, Sink error_sink = {}, Observer pass_observer = {})
      : out(out_sink), errors(error_sink), observer(pass_observer) {}
  Sink out;
  Sink errors;
  Observer observer;
};

// "rxen": forward transform of the whole file with the low byte of `x` as way.
int encrypt_rude(const char* path, std::int32_t x, std::int32_t p, const Channels& channels);

// "rxde": reverse transform of the whole file; `x` must itself be 1 to 4.
int decrypt_rude(const char* path, std::int32_t x, std::int32_t p, const Channels& channels);

// "en": forward transform, then the 512-byte record appended.
int encrypt_with_header(const char* path, std::int32_t x, std::int32_t p, const Channels& channels);

// "de": checks the record against `x` and `p`, reverses the transform and
// cuts the record off. The record is zeros while the data is being
// decrypted, so a run that is killed or cannot be undone leaves a file that
// "de" refuses rather than one it would decrypt a second time.
int decrypt_with_header(const char* path, std::int32_t x, std::int32_t p, const Channels& channels);

// "x=xxx": checks the record and prints it; the file is not changed.
int peek_header(const char* path, const Channels& channels);

}  // namespace tavo

#endif  // TAVO_OPERATIONS_H
