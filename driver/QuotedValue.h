// Values the driver echoes in its error texts come from the environment, which anyone starting the
// program chooses: a newline or a terminal escape in one must not forge a line of the text, and a
// value of kilobytes must not bury the reason.
#pragma once

#include <string>

constexpr size_t kQuotedValueLimit = 64;

// value between double quotes, control bytes, '"' and '\' escaped C-style (\n, \x1b), cut after
// kQuotedValueLimit bytes with "..." and the full length: "abc..."(5000 bytes).
std::string QuotedValue(const std::string& value);
