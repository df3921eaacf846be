#pragma once
// Human-readable sizes, times and durations, and the database date form.
#include <ctime>
#include <string>
#include <string_view>

namespace qpm {

// Divides by `base` while the amount is above it (at most eight times) and
// prints as many decimals as divisions, with the unit: 1536 -> "1.5 kB".
std::string ldef_nice_byte_ext(int base, double amount);
std::string ldef_nice_byte(double amount);

// Local time in one of the forms 2, 4, 5, 6, 7; any other form gives the
// database form "YYYY-MM-DD hh:mm:ss".
std::string ldef_nice_utime(time_t time, int form);
std::string ldef_nice_dbdate(time_t time);

// "N days, N hours", "N hours, N minutes", "N minutes, N seconds" or "N seconds".
std::string ldef_nice_since(long long seconds);

// The local time written as "YYYY-MM-DD hh:mm:ss" (the first 19 characters of
// `text`), or -1. Fields that cannot be read keep the current time's values.
time_t dbdate2time(std::string_view text);

} // namespace qpm
