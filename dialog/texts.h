// The dialog's texts in the language of the display: the templates and the
// string tables of the resource script come in Chinese and in English, and
// the system picks them by the thread's UI language.
#ifndef TAVO_DIALOG_TEXTS_H
#define TAVO_DIALOG_TEXTS_H

#include <windows.h>

#include <initializer_list>
#include <string>

#include "tavo/text.h"

namespace tavo::dialog {

// The language of the calling thread's templates and texts: Chinese (PRC)
// when the user's display language is any Chinese, English (US) otherwise.
// Set as the thread's UI language, so that the system's own choice of a
// resource agrees with it even where the display language has no template
// of its own (German, say) or a neighbouring one (Chinese, Taiwan).
LANGID use_display_language();

// A string of the calling thread's language from the program's string
// tables; empty if there is none.
std::wstring load_text(UINT id);

// `text` with "%1" replaced by `value`.
std::wstring with_value(const std::wstring& text, const std::wstring& value);

// `text` with "%1", "%2" and so on replaced by the values in turn.
std::wstring with_values(const std::wstring& text, std::initializer_list<std::wstring> values);

// UTF-8, as the engine writes, in UTF-16: the engine's own conversion.
using platform::utf16_from_utf8;

}  // namespace tavo::dialog

#endif  // TAVO_DIALOG_TEXTS_H
