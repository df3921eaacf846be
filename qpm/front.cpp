#include "front.h"

#include "cmdline.h"
#include "engine/inventory.h"
#include "record/lconf.h"
#include "ui/ui.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <unistd.h>
#include <vector>

namespace qpm {
namespace {

constexpr int OPT_OPTIONS = 1000;

bool is_help_word(const char *word) { return std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0; }

int usage_error(const CommandSpec &command, const std::string &what)
{
    std::fprintf(stderr, "qpm %s: %s\n", command.name, what.c_str());
    std::fprintf(stderr, "Usage: qpm %s %s\n", command.name, command.synopsis);
    std::fprintf(stderr, "Try 'qpm %s --help' for more.\n", command.name);
    return QPM_EXIT_USAGE;
}

bool known_key(const CommandSpec &command, const std::string &key)
{
    if (strcasecmp(key.c_str(), "verbose") == 0)
        return true;
    return std::any_of(command.keys.begin(), command.keys.end(),
                       [&](const char *known) { return strcasecmp(known, key.c_str()) == 0; });
}

void warn_unknown_keys(const CommandSpec &command, const Ekva *options)
{
    if (!options)
        return;
    std::vector<std::string> told;
    for (const EkvaEntry &entry : options->entries()) {
        if (known_key(command, entry.key))
            continue;
        const bool named = std::any_of(told.begin(), told.end(), [&](const std::string &key) {
            return strcasecmp(key.c_str(), entry.key.c_str()) == 0;
        });
        if (!named) {
            std::fprintf(stderr, "qpm: ignoring unknown option %s for %s\n", entry.key.c_str(), command.name);
            told.push_back(entry.key);
        }
    }
}

// The interface and a log that leaves no trace on disk: a query writes
// nothing, whoever runs it.
void start_run()
{
    vote_mode = 3;
    if (!qpmui)
        qpmui = qpmui_init("qpm: Quendari Package Manager", 7);
    llog = log_init(nullptr, 0, 0, verbose > 0 ? 7 : 3, nullptr);
    if (llog)
        llog->syslog_mask = 0;
}

} // namespace

void qpm_change_run_start()
{
    if (!qpmui)
        qpmui = qpmui_init("qpm: Quendari Package Manager", 7);
    const std::string log_path = root_path(syspath::log_file);
    llog = log_init(::geteuid() == 0 ? log_path.c_str() : nullptr, 7, 0, verbose > 0 ? 7 : 3, "qpm");
}

bool CommandLine::has(int flag) const { return std::find(flags.begin(), flags.end(), flag) != flags.end(); }

void qpm_command_help(const CommandSpec &command)
{
    std::printf("Usage: qpm %s %s\n\n%s\nOptions:\n", command.name, command.synopsis, command.description);
    for (const GetoptsOption &flag : command.flags) {
        if (flag.code == 0 && !flag.help)
            break;
        std::printf("  --%-18s %s\n", flag.long_name, flag.help);
    }
    std::string keys = "verbose=yes|no";
    for (const char *key : command.keys)
        keys += std::strcmp(key, "outform") == 0 ? std::string(", outform=c|l|x (CSV, LDIF, text)")
                                                 : strprintf(", %s=VALUE", key);
    std::printf("  -o %-17s %s\n", "OPTIONS", "comma-separated key=value options:");
    std::printf("  %-20s %s\n", "", keys.c_str());
    std::printf("  --%-18s %s\n", "help", "show this help");
}

int qpm_command_start(const CommandSpec &command, int argc, char **argv, CommandLine &line)
{
    // Everything after "--" is an argument, whatever it looks like.
    int end = 1;
    while (end < argc && std::strcmp(argv[end], "--") != 0)
        ++end;
    for (int i = 1; i < end; ++i) {
        if (is_help_word(argv[i])) {
            qpm_command_help(command);
            return QPM_EXIT_OK;
        }
    }

    std::vector<GetoptsOption> table(command.flags.begin(), command.flags.end());
    while (!table.empty() && table.back().code == 0 && !table.back().help)
        table.pop_back();
    table.push_back({OPT_OPTIONS, nullptr, "options", "o", 1});
    table.push_back({0, nullptr, nullptr, nullptr, 0});

    std::string option_text;
    option_index = 1;
    std::optional<std::string> arg;
    while (option_index < end) {
        const char *word = argv[option_index];
        if (std::strncmp(word, "-o", 2) == 0 && word[2] != '\0') {
            option_text = word + 2;
            ++option_index;
            continue;
        }
        // A flag's value is the next word, whatever it is.
        if (std::strcmp(word, "-o") == 0) {
            if (option_index + 1 >= end)
                return usage_error(command, "option -o needs a value");
            option_text = argv[option_index + 1];
            option_index += 2;
            continue;
        }
        const int code = getopts(end, argv, table, arg);
        if (code == GETOPTS_END) {
            line.words.emplace_back(argv[option_index++]);
        } else if (code == GETOPTS_UNKNOWN) {
            return usage_error(command, strprintf("unknown option %s", arg.value_or("").c_str()));
        } else if (code < 0) {
            return QPM_EXIT_FAILURE;
        } else {
            line.flags.push_back(code);
        }
    }
    for (int i = end + 1; i < argc; ++i)
        line.words.emplace_back(argv[i]);

    option_text = option_text.substr(0, PQPM_OPTION_MAX);
    if (option_text == "help") {
        qpm_command_help(command);
        return QPM_EXIT_OK;
    }
    const int count = static_cast<int>(line.words.size());
    if (count < command.min_words)
        return usage_error(command, "missing argument");
    if (command.max_words >= 0 && count > command.max_words)
        return usage_error(command, strprintf("unexpected argument '%s'",
                                           line.words[static_cast<size_t>(command.max_words)].c_str()));

    if (!option_text.empty()) {
        line.options = str2ekva(option_text, ',');
        warn_unknown_keys(command, line.options.get());
    }
    EkvaPtr rc = qpm_read_rc();
    qpm_merge_opts(line.options, rc.get(), "verbose,outform");
    verbose = lconf_get_bool("verbose", line.options.get(), 0, verbose);
    line.outform = qpm_get_outform(line.options.get());
    start_run();
    return -1;
}

void qpm_say_error(const CommandSpec &command, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const std::string text = vstrprintf(fmt, args);
    va_end(args);
    std::fprintf(stderr, "qpm %s: %s\n", command.name, text.c_str());
}

QpmPtr qpm_open_for_reading(const CommandSpec &command)
{
    QpmPtr qpm = qpm_open(nullptr, nullptr);
    if (!qpm)
        qpm_say_error(command, "cannot open the package inventory");
    return qpm;
}

bool qpm_open_catalogue(const CommandSpec &command, CatalogueAccess &access)
{
    const std::string conf_path = root_path(syspath::config);
    access.configuration = lconf_read(nullptr, conf_path.c_str());
    if (!access.configuration) {
        qpm_say_error(command, "cannot read the configuration %s", conf_path.c_str());
        return false;
    }
    // A query never writes, not even a plug-in's cache.
    ekva_addval(access.configuration, "qpc_readonly", "yes", EKVA_APPEND);
    const std::string backend_path = qpm_qpc_path(access.configuration.get());
    SharedLibrary backend = qpm_qpc_load(backend_path);
    if (!backend) {
        qpm_say_error(command, "cannot load the catalogue backend %s", backend_path.c_str());
        return false;
    }
    access.session = std::make_unique<CatalogueSession>(std::move(backend));
    if (!access.session->connect(access.configuration.get(), llog.get())) {
        qpm_say_error(command, "cannot connect to the catalogue");
        return false;
    }
    return true;
}

} // namespace qpm
