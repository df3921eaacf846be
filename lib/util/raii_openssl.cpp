#include "util/raii_openssl.h"

#include <openssl/err.h>

namespace qpm {

std::string ossl_take_error()
{
    unsigned long last = 0;
    while (const unsigned long e = ERR_get_error())
        last = e;
    if (!last)
        return {};
    char buf[256];
    ERR_error_string_n(last, buf, sizeof buf);
    return buf;
}

} // namespace qpm
