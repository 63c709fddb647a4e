// What the front ends share with the engine of the system's text and paths.
//
// On Linux paths and text are bytes. On Windows every path and every text
// the engine takes is UTF-8, in the generalised form that also encodes an
// unpaired surrogate (which Windows allows in file names), so a name
// converted to UTF-8 and back is the same name.
#ifndef TAVO_TEXT_H
#define TAVO_TEXT_H

#include <cstddef>
#include <string>
#include <vector>

namespace tavo::platform {

// True if anything, file or directory, exists under `path`.
bool exists(const char* path);

#ifdef _WIN32
std::string utf8_from_utf16(const wchar_t* text, std::size_t length);
std::string utf8_from_utf16(const std::wstring& text);

// The inverse of utf8_from_utf16. Bytes that are not such UTF-8 become
// U+FFFD, and the result is false.
bool utf16_from_utf8(const char* text, std::size_t length, std::wstring& wide);
// As above, for text to show, where a U+FFFD for a bad byte will do.
std::wstring utf16_from_utf8(const std::string& text);

// The full path of `path` as the system resolves it against the current
// folder, without the \\?\ (or \\?\UNC\) form: the plain path the engine
// prints and compares. `path` as given where the system cannot resolve it;
// empty if the current folder changes while it does.
std::wstring full_path(const std::wstring& path);

// The system's text for an error code (from GetLastError, or an HRESULT), in
// UTF-8 without the line break and full stop at its end; "error N" where the
// system has none.
std::string error_text_of(unsigned long error);

// The UTF-16 argument vector of wmain as the UTF-8 one the engine takes.
class Utf8Arguments {
 public:
  Utf8Arguments(int argc, const wchar_t* const* argv);
  Utf8Arguments(const Utf8Arguments&) = delete;
  Utf8Arguments& operator=(const Utf8Arguments&) = delete;
  const char* const* data() const { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<const char*> pointers_;
};
#endif

}  // namespace tavo::platform

#endif  // TAVO_TEXT_H
