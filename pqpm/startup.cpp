#include "startup.h"

#include "privilege.h"
#include "engine/backend.h"
#include "record/lconf.h"
#include "ui/progress.h"
#include "ui/ui.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>

namespace qpm {
namespace {

// The log level is read like atoi: leading digits, anything else is 0 (and
// 0 makes the log fall back to its default level).
int leading_number(const char *text)
{
    int value = 0;
    for (; text && std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        if (value > 100000)
            break;
        value = value * 10 + (*text - '0');
    }
    return value;
}

std::string base_name(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

void pqpm_say(const char *fmt, ...)
{
    if (!qpmui)
        return;
    va_list args;
    va_start(args, fmt);
    const std::string text = vstrprintf(fmt, args);
    va_end(args);
    qpmui_write_info(qpmui.get(), qpmui_line_new(qpmui.get(), text), 0);
}

int pqpm_startup(PqpmRun &run, const PqpmArgs &args)
{
    run.mode = args.mode;
    run.packages = args.packages;
    run.requests = args.requests.size() == args.packages.size() ? args.requests : args.packages;

    qpmui = qpmui_init("qpm: Quendari Package Manager", 7);
    if (!qpmui) {
        std::fprintf(stderr, "failed to initualize user interface\n");
        return 1;
    }
    if (!args.option_text.empty()) {
        if (args.option_text == "help") {
            qpm_opt_help(args.mode);
            return 0;
        }
        run.options = str2ekva(args.option_text, ',');
        pqpm_warn_unknown_options(args.mode, run.options.get());
    }

    EkvaPtr rc = qpm_read_rc();
    // The last read with the caller's rights: what is made from here on (the
    // log, the inventory's directories) belongs to group 0.
    if (!pqpm_root_group_for_new_files())
        return 1;
    qpm_merge_opts(run.options, rc.get(), "fastclean,verbose");
    run.fastclean = lconf_get_bool("fastclean", run.options.get(), 0, -1);
    verbose = lconf_get_bool("verbose", run.options.get(), 0, verbose);

    const std::string conf_path = root_path(syspath::config);
    run.configuration = lconf_read(nullptr, conf_path.c_str());
    if (!run.configuration) {
        std::fprintf(stderr, "failed to read qpm config %s\n", conf_path.c_str());
        return 1;
    }

    const int level = leading_number(ekva_getval(run.configuration.get(), "qpm_loglevel"));
    const std::string log_path = root_path(syspath::log_file);
    llog = log_init(log_path.c_str(), ekva_getval(run.configuration.get(), "qpm_loglevel") ? level : 7, 3, 7,
                    "qpm");

    const std::string backend_path = qpm_qpc_path(run.configuration.get());
    run.backend = qpm_qpc_load(backend_path);
    if (!run.backend) {
        qlog(LL_ERROR, "failed to load catalogue backend %s!", base_name(backend_path).c_str());
        return 2;
    }
    progress_enable(run.mode == PQPM_INSTALL || run.mode == PQPM_UPGRADE);
    return -1;
}

int pqpm_refresh(PqpmRun &run)
{
    CatalogueSession catalogue(std::move(run.backend));
    if (!catalogue.connect(run.configuration.get(), llog.get())) {
        pqpm_say("failed to connect to catalogue\n");
        return 1;
    }
    // A refresh that failed is no success: scripts must be able to tell.
    if (pqpm_qpc_refresh(catalogue.connection()) != 0) {
        pqpm_say("failed to refresh the catalogue\n");
        return 1;
    }
    if (verbose > 0)
        pqpm_say("refreshed the package catalogue\n");
    return 0;
}

} // namespace qpm
