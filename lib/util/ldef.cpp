#include "util/ldef.h"

#include "util/strfmt.h"

#include <cstdio>

namespace qpm {
namespace {

constexpr const char *UNITS[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};
constexpr int MAX_DIVISIONS = 8;

constexpr const char *MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

tm local_tm(time_t time)
{
    tm t{};
    localtime_r(&time, &t);
    return t;
}

const char *month_name(const tm &t)
{
    return t.tm_mon >= 0 && t.tm_mon < 12 ? MONTHS[t.tm_mon] : "";
}

} // namespace

std::string ldef_nice_byte_ext(int base, double amount)
{
    int divisions = 0;
    // Past the last unit the number simply grows.
    while (base > 1 && amount > base && divisions < MAX_DIVISIONS) {
        amount /= base;
        ++divisions;
    }
    return strprintf("%.*f %s", divisions, amount, UNITS[divisions]);
}

std::string ldef_nice_byte(double amount)
{
    return ldef_nice_byte_ext(1024, amount);
}

std::string ldef_nice_utime(time_t time, int form)
{
    const tm t = local_tm(time);
    switch (form) {
    case 2:
        return strprintf("%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    case 4:
        return strprintf("%d.%d.%d", t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
    case 5:
        return strprintf("%d. %s %d", t.tm_mday, month_name(t), t.tm_year + 1900);
    case 6:
        return strprintf("%d.%d.%d %02d:%02d", t.tm_mday, t.tm_mon + 1, t.tm_year + 1900,
                         t.tm_hour, t.tm_min);
    case 7:
        return strprintf("%d. %s %d %02d:%02d", t.tm_mday, month_name(t), t.tm_year + 1900,
                         t.tm_hour, t.tm_min);
    default:
        return ldef_nice_dbdate(time);
    }
}

std::string ldef_nice_dbdate(time_t time)
{
    const tm t = local_tm(time);
    return strprintf("%4d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                     t.tm_hour, t.tm_min, t.tm_sec);
}

std::string ldef_nice_since(long long seconds)
{
    if (seconds >= 86400)
        return strprintf("%d days, %d hours", static_cast<int>(seconds / 86400),
                         static_cast<int>(seconds % 86400 / 3600));
    if (seconds >= 3600)
        return strprintf("%d hours, %d minutes", static_cast<int>(seconds / 3600),
                         static_cast<int>(seconds % 3600 / 60));
    if (seconds >= 60)
        return strprintf("%d minutes, %d seconds", static_cast<int>(seconds / 60),
                         static_cast<int>(seconds % 60));
    return strprintf("%d seconds", static_cast<int>(seconds));
}

time_t dbdate2time(std::string_view text)
{
    if (text.size() < 19)
        return -1;
    const std::string head(text.substr(0, 19));
    tm t = local_tm(std::time(nullptr));
    int year = 0;
    int month = t.tm_mon + 1;
    // Fields that cannot be read keep the values of now.
    const int read = std::sscanf(head.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &year, &month, &t.tm_mday,
                                 &t.tm_hour, &t.tm_min, &t.tm_sec);
    if (read < 1)
        return -1;
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_isdst = -1; // mktime decides whether daylight saving applies
    return mktime(&t);
}

} // namespace qpm
