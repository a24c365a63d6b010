#pragma once
// Text as every reader of this project takes it: trimmed, and numbers in the classic form (a '.' for the
// decimal point whatever locale a host application set), the whole text or nothing.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Halvoren::Text {

/// The text without the white space (blanks, tabs, line breaks) at either end.
std::string_view trim(std::string_view text);
std::string trimmed(std::string_view text);

/// A decimal number filling the whole text (a leading '+' allowed, as hand-edited files have one;
/// "inf" and "nan" read as such). False, `value` untouched, for anything else.
bool parseNumber(std::string_view text, double& value);
/// The same in single precision, rounded once from the text; out of its range is no number.
bool parseNumber(std::string_view text, float& value);
/// A finite number filling the whole text.
bool parseFinite(std::string_view text, double& value);
/// A decimal integer filling the whole text, within its type's range (a leading '+' allowed).
bool parseInteger(std::string_view text, std::int64_t& value);
bool parseInteger(std::string_view text, std::int32_t& value);
bool parseUnsigned(std::string_view text, std::uint64_t& value);
bool parseUnsigned(std::string_view text, std::uint32_t& value);
/// Hexadecimal digits (either case) filling the whole text: no "0x", no sign.
bool parseHexadecimal(std::string_view text, std::uint64_t& value);

/// The C library's lenient strtod (leading blanks skipped, the end of what was read in `end`, hexadecimal
/// and "infinity" taken), as it reads in the C locale whatever locale the process set: for formats that
/// are read as the C library reads them, with a '.' for the decimal point.
double lenientNumber(const char* text, char** end);

/// Numbers separated by blanks or tabs; false when anything else is in it.
bool parseNumbers(std::string_view text, std::vector<double>& values);
/// The shortest text that reads back to the same double.
std::string formatNumber(double value);
/// Numbers so written, separated by single blanks.
std::string formatNumbers(const std::vector<double>& values);

/// What a C library error number means (strerror), safe on any thread.
std::string errorText(int error);

/// Sizes as messages give them: "4 GB", "64 MB", "512 KB", "100 bytes".
std::string sizeText(std::uint64_t bytes);

}  // namespace Halvoren::Text
