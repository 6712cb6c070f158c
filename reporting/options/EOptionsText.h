// The readable form of an option set, for the options tool and checked-in option files:
// "Name=Value" lines under [Options], one [FilterN] section per filter and the texts under
// [Texts]. Strings are written in double quotes with C escapes, so that every value, CR LF
// and blanks included, comes back exactly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "reporting/options/ECore.h"

// The stored options, in stream order.
const std::vector<std::string>& OptionFieldNames();
const std::vector<std::string>& FilterFieldNames();

// Values in their text form. Unknown names and values that do not fit raise EConvertError.
std::string GetOptionField(const TTarvexModuleOptions& options, std::string_view name);
void SetOptionField(TTarvexModuleOptions& options, std::string_view name, std::string_view value);
std::string GetFilterField(const TTarvexExceptionFilter& filter, std::string_view name);
void SetFilterField(TTarvexExceptionFilter& filter, std::string_view name, std::string_view value);

// `withComments` adds the text captions and groups and the report-field captions.
std::string ExportOptionsText(const TTarvexModuleOptions& options, bool withComments);
// Resets the set to its defaults, then applies the file. EConvertError names the bad line.
void ImportOptionsText(TTarvexModuleOptions& options, std::string_view text);
// True for the readable form (an options stream starts with a 0 or 1 byte).
bool LooksLikeOptionsText(std::string_view bytes);

// "..." with \\ \" \r \n \t and \xHH escapes; and back. A value that does not start with a
// double quote is taken as it is.
std::string QuoteText(std::string_view s);
std::string UnquoteText(std::string_view s);
