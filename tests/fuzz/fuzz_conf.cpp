// Configuration files (qpm.conf, .qpmrc): key=value lines, comments and
// includes read into records, value maps and typed questions, and a rewrite
// of chosen keys that reads back as written.
#include "fuzz_support.h"

#include "record/lconf.h"
#include "util/kv.h"

#include <cctype>
#include <string>

using namespace qpm;

namespace {

// Includes that name an absolute path could reach devices that never end
// (/dev/zero); those inputs are read only the way a per-user file is read,
// which follows regular files alone.
bool includes_absolute(std::string_view text)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(at, end - at);
        if (line.size() >= 8) {
            std::string head(line.substr(0, 8));
            for (char &c : head)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (head == "include " && _clean_val(line.substr(8)).starts_with('/'))
                return true;
        }
        at = end + 1;
    }
    return false;
}

bool has_include(const std::string_view text)
{
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string head(text.substr(at, std::min<size_t>(8, end - at)));
        for (char &c : head)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (head == "include ")
            return true;
        at = end + 1;
    }
    return false;
}

void ask(const Ekva *record)
{
    for (const char *key : {"arch_name", "qpm_log_level", "qpm_verify", "qpm_unsigned_header"}) {
        (void)lconf_get_bool(key, record, 0, -1);
        (void)lconf_get_optval(key, "none=0,some=1,all=2,off=-1", record, 7, -1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text = fuzz::as_text(data, size);

    // The text as a value map, and every line on its own.
    const ValNumList map = lconf_gen_vnlist(text);
    for (const ValNum &entry : map)
        FUZZ_CHECK(lconf_getvalnum(map, entry.name.c_str()) != -2);
    (void)_split_line(text.substr(0, text.find('\n')));

    const std::string path = fuzz::scratch_dir() + "/qpm.conf";
    FUZZ_CHECK(fuzz::write_file(path, text));

    ask(qpm_read_rc_file(path).get());
    if (includes_absolute(text))
        return 0;

    EkvaPtr dups = lconf_read_dups(nullptr, path.c_str());
    EkvaPtr last = lconf_read(nullptr, path.c_str());
    ask(last.get());
    if (!last || has_include(text))
        return 0;

    // Every key rewritten with a value of its own reads back with it.
    EkvaPtr wanted = ekva_new(1024, EKVA_REPLACE);
    int n = 0;
    for (const EkvaEntry &entry : last->entries())
        ekva_addval(wanted, entry.key, "v" + std::to_string(n++), EKVA_REPLACE);
    if (lconf_replace(path.c_str(), wanted.get(), 0) != 0)
        return 0;
    const EkvaPtr again = lconf_read(nullptr, path.c_str());
    FUZZ_CHECK(again);
    for (const EkvaEntry &entry : wanted->entries()) {
        const char *value = ekva_getval(again.get(), entry.key);
        FUZZ_CHECK(value && entry.value && *entry.value == value);
    }
    return 0;
}
