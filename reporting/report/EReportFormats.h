// Small text forms shared by the report's parts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reporting/report/EReportSnapshot.h"

// Upper-case hexadecimal, zero-padded to `digits` (pointer-sized values take 16).
std::string HexText(uint64_t value, int digits = 16);
// Each run of characters below 32 becomes one blank.
std::string FoldControlCharacters(std::string_view text);
// Blanks and control characters removed at both ends.
std::string TrimText(std::string_view text);
// "/usr/lib/libc.so.6" gives "libc.so.6" and "/usr/lib".
std::string FileNameOf(std::string_view path);
std::string FolderOf(std::string_view path);
// Local time as "yyyy-mm-dd hh:nn:ss".
std::string TimestampText(TReportTime time);
// A number with at most two decimals, trailing zeros dropped ("0.##").
std::string TwoDecimalsText(double value);
