// Numbers typed by users: the runner's options, its channel file and the
// simulator's options all read them here, so one text means one number
// everywhere. Decimal only: no spaces, no '+', no exponent, no hexadecimal,
// no "inf" or "nan", a '-' only where the range has negative numbers. Every
// input is answered without undefined behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace numbers {

enum class Parsed {
    Ok,          // taken; *out set
    NotANumber,  // not a plain decimal number of the kind asked for
    OutOfRange,  // a number, outside lo..hi
};

// A whole number: digits, with one leading '-' only when lo < 0.
Parsed parseWhole(const std::string& text, int64_t lo, int64_t hi, int64_t* out);
// A whole number 0..hi without a sign (up to 18446744073709551615).
Parsed parseUnsigned(const std::string& text, uint64_t lo, uint64_t hi, uint64_t* out);
// A decimal fraction: digits with at most one '.', at least one digit ("5",
// "0.25", ".5", "5."); a leading '-' only when lo < 0.
Parsed parseDecimal(const std::string& text, double lo, double hi, double* out);

// What to add to a message refusing a text that is not a number at all:
// ": write a plain decimal number (...)", for whole numbers or decimal fractions.
std::string plainHint(bool whole);

// A value as shown in a message: control characters and bytes that are not
// UTF-8 made visible (\n, \t, \xNN), and cut to `max` bytes with "..." after.
std::string visible(const std::string& text, size_t max = 60);
// The same between single quotes.
std::string quoted(const std::string& text, size_t max = 60);
// A limit as written in messages and the help: "0.01", "100000", "0.5".
std::string limitText(double v);

// The value of the option in *name: after its '=' ("--rate=5", *name cut to
// "--rate"), else the next argument (*i moves on to it). False when there is
// neither.
bool optionValue(std::string* name, int argc, const char* const* argv, int* i, std::string* value);

}  // namespace numbers
