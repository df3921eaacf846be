#include "util/getopts.h"

#include <cstring>
#include <new>

namespace qpm {

int option_index = 1;

namespace {

bool is_end(const GetoptsOption &option) { return option.code == 0 && !option.help; }

bool matches(const GetoptsOption &option, const char *word)
{
    if (option.long_name && word[0] == '-' && word[1] == '-' && std::strcmp(word + 2, option.long_name) == 0)
        return true;
    return option.short_name && word[0] == '-' && std::strcmp(word + 1, option.short_name) == 0;
}

const GetoptsOption *find_option(std::span<const GetoptsOption> table, const char *word)
{
    for (const GetoptsOption &option : table) {
        if (is_end(option))
            break;
        if (matches(option, word))
            return &option;
    }
    return nullptr;
}

// The usage text ends the run: a help request is an answer, not an error.
int usage_answer(const char *program, std::span<const GetoptsOption> table)
{
    getopts_usage(program, table);
    return GETOPTS_HELP;
}

} // namespace

void getopts_reset() { option_index = 1; }

int getopts(int argc, char *const argv[], std::span<const GetoptsOption> table,
            std::optional<std::string> &arg)
{
    if (argc == 1 || option_index == argc)
        return GETOPTS_END;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0)
            return usage_answer(argv[0], table);
    }
    arg.reset();
    if (option_index > argc || option_index < 1)
        return GETOPTS_END;

    const char *word = argv[option_index++];
    if (const GetoptsOption *option = find_option(table, word)) {
        if (!option->has_arg)
            return option->code;
        if (option_index >= argc || (argv[option_index][0] == '-' && find_option(table, argv[option_index])))
            return usage_answer(argv[0], table);
        try {
            arg = argv[option_index];
        } catch (const std::bad_alloc &) {
            return GETOPTS_NOMEM;
        }
        ++option_index;
        return option->code;
    }
    if (word[0] == '-') {
        try {
            arg = word;
        } catch (const std::bad_alloc &) {
            return GETOPTS_NOMEM;
        }
        return GETOPTS_UNKNOWN;
    }
    --option_index; // not an option: leave it for the caller
    return GETOPTS_END;
}

int getopts_usage(const char *program, std::span<const GetoptsOption> table, FILE *out)
{
    std::fprintf(out, "Usage: %s [options]\n\n", program ? program : "");
    std::fputs("  --help,\t-h\t\t\tDisplays this information\n", out);
    for (const GetoptsOption &option : table) {
        if (is_end(option))
            break;
        std::fputs("  ", out);
        if (option.long_name && option.short_name) {
            if (option.has_arg)
                std::fprintf(out, "--%s,\t-%s <args>\t\t", option.long_name, option.short_name);
            else
                std::fprintf(out, "--%s,\t-%s\t\t\t", option.long_name, option.short_name);
        } else if (option.long_name) {
            if (option.has_arg)
                std::fprintf(out, "--%s <args>\t\t\t", option.long_name);
            else
                std::fprintf(out, "--%s\t\t\t", option.long_name);
        } else if (option.short_name) {
            if (option.has_arg)
                std::fprintf(out, "\t\t-%s <args>\t\t", option.short_name);
            else
                std::fprintf(out, "\t\t-%s\t\t\t", option.short_name);
        }
        std::fprintf(out, "%s\n", option.help ? option.help : "");
    }
    return 1;
}

} // namespace qpm
