// ekva text: "key=value" items split at a separator (option strings on the
// command line), and what is made of the record again: its text, its CSV and
// look-ups by key. The first input byte picks the separator.
#include "fuzz_support.h"

#include "record/ekva.h"
#include "util/csv.h"

using namespace qpm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const char separator = static_cast<char>(data[0]);
    const std::string_view text = fuzz::as_text(data + 1, size - 1);

    EkvaPtr e = str2ekva(text, separator);
    if (!e) {
        FUZZ_CHECK(text.empty());
        return 0;
    }
    for (const EkvaEntry &entry : e->entries())
        FUZZ_CHECK(!entry.key.empty());

    const std::string joined = ekva2str(e.get(), separator);
    for (int quoting = 0; quoting < 2; ++quoting)
        for (int keys = 0; keys < 2; ++keys)
            (void)ekva2csv(e.get(), separator, quoting, keys);

    // Every key is found, and counted as often as it appears.
    for (const EkvaEntry &entry : e->entries()) {
        FUZZ_CHECK(ekva_getval(e.get(), entry.key) != nullptr || !entry.value);
        const int count = ekva_cntval(e.get(), entry.key);
        FUZZ_CHECK(count >= 1);
        FUZZ_CHECK(static_cast<int>(ekva_getvals(e.get(), entry.key).size()) == count);
        (void)ekva_getvals_str(e.get(), entry.key, '|');
    }

    // A copy of a record without entries is no record.
    EkvaPtr copy = ekva_copy(e.get());
    FUZZ_CHECK(e->entries().empty() ? !copy : copy && ekva2str(copy.get(), separator) == joined);

    EkvaList list;
    ekva_list_add(list, e.get());
    ekva_list_add(list, copy.get());
    if (!e->entries().empty())
        ekva_list_sort(list, e->entries().front().key);

    // The same bytes as CSV lines.
    StrArr fields = lgetcsv(text, separator);
    FUZZ_CHECK(!fields.empty());
    (void)arr2csv(fields, separator, 1);
    (void)csv2arr(text, separator);
    size_t at = 0;
    while (at < text.size()) {
        StrArr line;
        const size_t next = sgetcsv(text.substr(at), separator, line);
        FUZZ_CHECK(next > 0);
        at += next;
    }
    return 0;
}
