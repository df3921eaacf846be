// qpm-adm: bootstraps a new inventory and shows the settings of an existing one.
#include "boot.h"

#include "engine/inventory.h"
#include "record/ekva.h"
#include "record/lconf.h"
#include "util/getopts.h"
#include "util/globals.h"
#include "util/strarr.h"
#include "util/sysroot.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <strings.h>

namespace {

using namespace qpm;

constexpr const char *PROGRAM = "qpm-adm";
constexpr const char *VERSION = "2.0.121";

enum Option {
    OPT_BOOT = 2,
    OPT_LIST = 3,
    OPT_QUERY = 4,
    OPT_BASE = 5,
    OPT_FORCE = 6,
    OPT_OPTIONS = 7,
    OPT_VERBOSE = 8,
    OPT_VERSION = 9,
};

// The modes are the codes of the action options; none before any is given.
constexpr int MODE_NONE = 0;

constexpr GetoptsOption OPTIONS[] = {
    {OPT_BOOT, "boot", "bootstrap an qpm inventory", "B", 0},
    {OPT_LIST, "list", "list current settings", "L", 0},
    {OPT_QUERY, "query", "query one setting", "Q", 1},
    {OPT_BASE, "base", "use this as repository base", "b", 1},
    {OPT_OPTIONS, "options", "options, see -o help for details", "o", 1},
    {OPT_FORCE, "force", "force action without question", "f", 0},
    {OPT_VERBOSE, "verbose", "show verbose output", "v", 0},
    {OPT_VERSION, "version", "show version information", "V", 0},
    {0, nullptr, nullptr, nullptr, 0},
};

void adm_opt_help(int mode)
{
    std::fputs("\nOptions are specified in the form of:", stdout);
    std::fputs(" -o \"opt1=val1,opt2=val2,opt3=val3,...\"\n", stdout);
    if (mode == OPT_BOOT || mode == MODE_NONE) {
        std::fputs("\nOptions for mode -B (boot):\n", stdout);
        std::printf("  %-15s: %s\n", "dist_name", "set distribution name.");
        std::printf("  %-15s: %s\n", "dist_vers", "set distribution version.");
        std::printf("  %-15s: %s\n", "qpc_backend", "set qpc backend to use.");
        std::printf("  %-15s: %s\n", "debug",
                    "true: run in debug mode. This will produce loads of messages. Default is false");
        std::printf("  %-15s: %s\n", "qpm_busybox", "busybox to install into the inventory. Default is /bin/busybox");
        std::printf("  %-15s: %s\n", BOOT_QPC_PLUGIN,
                    "catalogue plug-in to copy into /usr/lib/qpm as the backend in use.");
        std::printf("  %-15s: %s\n", BOOT_QPC_DIRS, "package directories, ':'-separated, for /etc/qpc-dirs.conf.");
    }
    std::fputs("\n", stdout);
}

// One warning line per option key the action does not read; the run goes on.
void warn_unknown_options(int mode, const Ekva *options)
{
    static constexpr const char *boot_keys[] = {"dist_name", "dist_vers",     "qpc_backend", "qpm_busybox",
                                                "debug",     BOOT_QPC_PLUGIN, BOOT_QPC_DIRS};
    if (!options)
        return;
    StrArr warned;
    for (const EkvaEntry &entry : options->entries()) {
        const char *key = entry.key.c_str();
        const bool known = mode == OPT_BOOT && std::any_of(std::begin(boot_keys), std::end(boot_keys),
                                                           [&](const char *k) { return strcasecmp(k, key) == 0; });
        if (known || std::any_of(warned.begin(), warned.end(),
                                 [&](const std::string &k) { return strcasecmp(k.c_str(), key) == 0; }))
            continue;
        std::fprintf(stderr, "qpm-adm: ignoring unknown option %s for %s\n", key,
                     mode == OPT_BOOT ? "--boot" : mode == OPT_LIST ? "--list" : "--query");
        warned.push_back(entry.key);
    }
}

struct CommandLine {
    int actions = 0;
    int mode = MODE_NONE;
    std::string setting;                // of --query
    std::optional<std::string> base;    // of --base
    std::optional<std::string> options; // of --options
    BootFlags flags;
};

// Settings of an existing inventory: every one (`setting` null) or the value
// of one.
int show_settings(const std::string &root, const std::string &conf_path, const std::string *setting,
                  bool verbose)
{
    if (setting && verbose)
        std::fprintf(stderr, "Getting value for setting %s in %s\n", setting->c_str(), conf_path.c_str());
    QpmPtr qpm = qpm_open(root.c_str(), conf_path.c_str());
    if (!qpm) {
        if (setting)
            std::fputs("Failed to open local package inventory\n", stderr);
        else
            std::fprintf(stderr, "Failed to open package inventory at %s using %s\n", root.c_str(),
                         conf_path.c_str());
        return 1;
    }
    if (verbose)
        std::fprintf(stderr, "Opened package inventory at %s using %s\n", root.c_str(), conf_path.c_str());
    const EkvaPtr conf = lconf_read(nullptr, conf_path.c_str());
    if (!setting) {
        ekva_fprint(conf.get(), stdout, 20);
    } else if (const char *value = ekva_getval(conf.get(), *setting)) {
        std::printf("%s\n", value);
    }
    qpm_close(std::move(qpm));
    return 0;
}

int run(int argc, char *argv[])
{
    // Boot changes the system: its confirmation is always asked (unless -f).
    vote_mode = 1;

    CommandLine cl;
    std::optional<std::string> arg;
    for (int code; (code = getopts(argc, argv, OPTIONS, arg)) != GETOPTS_END;) {
        switch (code) {
        case GETOPTS_NOMEM:
            std::fputs("Unable to allocate memory.\n", stdout);
            return 1;
        case GETOPTS_HELP: // the usage text answered the request
            return 0;
        case OPT_QUERY:
            cl.setting = arg.value_or("");
            [[fallthrough]];
        case OPT_BOOT:
        case OPT_LIST:
            cl.mode = code;
            ++cl.actions;
            break;
        case OPT_BASE:
            cl.base = arg;
            break;
        case OPT_OPTIONS:
            cl.options = arg;
            break;
        case OPT_FORCE:
            cl.flags.force = true;
            break;
        case OPT_VERBOSE:
            cl.flags.verbose = true;
            break;
        case OPT_VERSION:
            std::fprintf(stderr, "qpm-adm %s\n", VERSION);
            return 0;
        default: // unrecognised options are ignored
            break;
        }
    }

    if (cl.actions > 1) {
        std::fputs("More than one action specified\n", stderr);
        getopts_usage(PROGRAM, OPTIONS);
        return 1;
    }

    EkvaPtr options;
    if (cl.options) {
        if (*cl.options == "help") {
            adm_opt_help(cl.mode);
            return 0;
        }
        options = str2ekva(*cl.options, ',');
        if (cl.flags.verbose)
            ekva_fprint(options.get(), stdout, 20);
    }

    if (cl.actions == 0) {
        std::fputs("No action specified\n", stderr);
        getopts_usage(PROGRAM, OPTIONS);
        return 1;
    }

    // A root given with -b is taken as given; the defaults live under the
    // system root.
    const std::string root = cl.base ? *cl.base : root_path(syspath::inventory);
    const std::string conf_path = root_path(syspath::config);
    warn_unknown_options(cl.mode, options.get());
    switch (cl.mode) {
    case OPT_BOOT:
        return qpm_boot(root, conf_path, options.get(), cl.flags) == 0 ? 0 : 255;
    case OPT_LIST:
        return show_settings(root, conf_path, nullptr, cl.flags.verbose);
    default:
        return show_settings(root, conf_path, &cl.setting, cl.flags.verbose);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, e.what());
        return 1;
    }
}
