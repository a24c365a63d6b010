#pragma once
// The one rule of every number option: a plain decimal number within the option's range, read as every
// reader of the project reads one. Otherwise the option is refused with the range it takes.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

namespace Halvoren::CommandLine {

/// A whole number from `min` to `max`, refused as "takes `range`, not '...'". Passed on as its plain
/// digits, so that CLI11's own conversion cannot read "010" as octal. Read as signed, so that "-1" does
/// not wrap around.
CLI::Validator whole(std::int64_t min, std::int64_t max, const std::string& range);

/// A finite number from `min` (or above it, with `aboveMin`) to `max`; passed on in its shortest form.
CLI::Validator number(double min, double max, const std::string& range, bool aboveMin = false);

/// For the options whose 0 would mean nothing at all: a number above 0.
CLI::Validator aboveZero(const std::string& range);

/// number()'s check, for an option that takes a word beside its numbers: empty when `text` is a number
/// from `min` to `max` (then put in its shortest form), the refusal otherwise.
std::string checkNumber(std::string& text, double min, double max, const std::string& range);

}  // namespace Halvoren::CommandLine
