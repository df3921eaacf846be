#pragma once
// The one checked printf-style formatter: every designed message goes through
// it (or straight through a printf-family call), so -Wformat=2 checks them all.
#include <cstdarg>
#include <string>

namespace qpm {

std::string strprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vstrprintf(const char *fmt, va_list args) __attribute__((format(printf, 1, 0)));

} // namespace qpm
