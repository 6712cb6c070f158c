// Text helpers: UTF-8 (8-bit text) <-> UTF-16 (wide text), case-insensitive comparison.
#pragma once

#include <string>
#include <string_view>

using WideString = std::u16string;
using AnsiString = std::string;

// Invalid input (broken UTF-8, lone surrogates) becomes U+FFFD; nothing is dropped silently.
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);
// Utf16ToUtf8(w) == u, without building the converted text when both are ASCII.
bool SameUtf16Utf8(std::u16string_view w, std::string_view u);

// Appends one code point (below 0x110000, not a surrogate) as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

// Number of code points; and the first `count` code points of a UTF-8 text.
size_t Utf8Length(std::string_view s);
std::string Utf8Truncate(std::string_view s, size_t count);

// ASCII case folding, as the runtime's name comparisons use it.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
std::u16string WideLowerCase(std::u16string_view s);
bool SameText(std::string_view a, std::string_view b);
bool WideSameText(std::u16string_view a, std::u16string_view b);
int CompareText(std::string_view a, std::string_view b);

std::string Trim(std::string_view s);

// Literal replace of the first occurrence (or all).
std::string StringReplace(std::string_view s, std::string_view from, std::string_view to, bool all);
