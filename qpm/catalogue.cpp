// The catalogue queries: search, and plan, which shows what an install or
// upgrade would do without doing it (no lock, nothing fetched or written).
#include "commands.h"
#include "front.h"

#include "cmdline.h"
#include "engine/catalogue.h"
#include "engine/install_run.h"
#include "engine/installed.h"
#include "engine/report.h"
#include "engine/update_run.h"
#include "ui/ftable.h"
#include "ui/ui.h"
#include "util/strfmt.h"
#include "util/text.h"

#include <cstring>

using namespace qpm;

namespace {

const CommandSpec SEARCH = {
    "search", "[-o OPTIONS] PATTERN",
    "Lists the packages of the catalogue, through the configured backend, whose\n"
    "name or description matches the shell pattern PATTERN: name (with\n"
    "variant), version and description. Exit status 1 when nothing matches.\n"
    "The option variant= narrows the search to one variant (empty: the default).\n",
    {}, {"outform", "variant"}, 1, 1};

const CommandSpec PLAN = {
    "plan", "[-o OPTIONS] install|upgrade [NAME...]",
    "Shows the actions that installing or upgrading the named packages would\n"
    "take, with the dependencies they pull in and the sizes of the package files\n"
    "and of what they install, in kilobytes. Nothing is fetched, locked or\n"
    "changed. Without NAME, upgrade plans every installed package. The options\n"
    "variant= and version= apply when one package is named; outform=l gives\n"
    "LDIF change records. Exit status 1 when a package cannot be planned.\n",
    {}, {"outform", "variant", "version"}, 1, -1};

// The cache is the run's: it goes with the command, whatever the outcome.
struct CacheOwner {
    ~CacheOwner() { qpm_cache_free(&qpc_cache); }
};

} // namespace

int qpm_cmd_search(int argc, char **argv)
{
    CommandLine line;
    if (const int status = qpm_command_start(SEARCH, argc, argv, line); status >= 0)
        return status;
    CatalogueAccess catalogue;
    if (!qpm_open_catalogue(SEARCH, catalogue))
        return QPM_EXIT_FAILURE;
    const std::string &pattern = line.words[0];
    EkvaPtr attributes = ekva_new(4, 3);
    ekva_addval(attributes, "eqpkDescription", pattern, EKVA_APPEND);
    QpiList found;
    qpm_findpkg(catalogue.connection(), pattern, optional_text(qpm_get_variant(line.options.get())), std::nullopt,
                QPM_SELECTOR, attributes.get(), found);
    const int form = line.outform == QPM_FORM_LDIF || line.outform == QPM_FORM_CSV ? line.outform : QPM_FORM_TEXT;
    if (qpm_qpk_list_write(nullptr, found, static_cast<int>(found.size()), QPM_LIST_CATALOGUE, form, 0) != 0)
        return QPM_EXIT_FAILURE;
    if (found.empty()) {
        qpm_say_error(SEARCH, "no package of the catalogue matches %s", pattern.c_str());
        return QPM_EXIT_FAILURE;
    }
    return QPM_EXIT_OK;
}

int qpm_cmd_plan(int argc, char **argv)
{
    CommandLine line;
    if (const int status = qpm_command_start(PLAN, argc, argv, line); status >= 0)
        return status;
    const std::string action = line.words[0];
    const bool install = action == "install";
    if (!install && action != "upgrade") {
        qpm_say_error(PLAN, "unknown action '%s': install or upgrade", action.c_str());
        return QPM_EXIT_USAGE;
    }
    StrArr names(line.words.begin() + 1, line.words.end());
    if (install && names.empty()) {
        qpm_say_error(PLAN, "install needs a package name");
        return QPM_EXIT_USAGE;
    }

    QpmPtr qpm = qpm_open_for_reading(PLAN);
    if (!qpm)
        return QPM_EXIT_FAILURE;
    CatalogueAccess catalogue;
    if (!qpm_open_catalogue(PLAN, catalogue))
        return QPM_EXIT_FAILURE;
    if (names.empty())
        names = qpm_list_arr(qpm.get(), 1);

    std::optional<std::string> variant;
    std::optional<std::string> version;
    if (names.size() == 1) {
        variant = optional_text(qpm_get_variant(line.options.get()));
        version = optional_text(qpm_get_version(line.options.get()));
    }

    CacheOwner cache_owner;
    qpc_cache = qpm_qpc_cache_fill(catalogue.connection());
    int status = QPM_EXIT_OK;
    QpaList actions;
    for (const std::string &name : names) {
        QptPtr transaction;
        if (install) {
            if (qpm_qpl_info(qpm.get(), name)) {
                qpmui_write(qpmui.get(), strprintf("%s is already installed\n", name.c_str()));
                continue;
            }
            if (!qpm_pre_install(qpm.get(), catalogue.connection(), name, variant, version, {}, transaction)) {
                qpm_say_error(PLAN, "%s cannot be installed", name.c_str());
                status = QPM_EXIT_FAILURE;
                continue;
            }
        } else {
            UpdatePlan outcome = UpdatePlan::Invalid;
            if (!qpm_pre_update(qpm.get(), catalogue.connection(), name, variant, version, {}, transaction,
                                &outcome)) {
                if (outcome == UpdatePlan::NothingToDo)
                    continue;
                qpm_say_error(PLAN, outcome == UpdatePlan::NotInstalled ? "%s is not installed"
                                                                        : "%s cannot be upgraded",
                              name.c_str());
                status = QPM_EXIT_FAILURE;
                continue;
            }
        }
        qpm_qpa_list_add_qpt(*transaction, actions);
    }

    if (actions.empty()) {
        if (status == QPM_EXIT_OK)
            qpmui_write(qpmui.get(), "Nothing to do\n");
        return status;
    }
    const int form = line.outform == QPM_FORM_LDIF ? QPM_FORM_LDIF : QPM_FORM_TEXT;
    const std::string title =
        strprintf("Actions to %s %s", action.c_str(), names.size() == 1 ? names[0].c_str() : "the packages");
    if (qpm_qpa_list_write(actions, title.c_str(), form, 1) != 0)
        return QPM_EXIT_FAILURE;
    return status;
}
