// The user's e-mail address as the classic dialog takes it.
#pragma once

#include <string>
#include <string_view>

// The text without leading and trailing characters up to the blank (control characters included).
std::string TrimmedText(std::string_view text);

// An address counts as valid when it holds "@" and "."; because it later goes into mail
// headers it also holds no control characters and no blanks and is at most 254 bytes long.
// Pass the trimmed text.
bool ValidEmailAddress(std::string_view address);
