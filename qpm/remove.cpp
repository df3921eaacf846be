// qpm remove: installed packages and the dependencies that nobody else
// needs, under the inventory lock, after a confirmation.
#include "commands.h"
#include "front.h"

#include "engine/inventory.h"
#include "engine/remove.h"
#include "package/qpk_info.h"
#include "ui/ui.h"
#include "util/globals.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

using namespace qpm;

namespace {

constexpr const char *REMOVE_USAGE =
    "usage: qpm remove [--alone] [--yes] NAME...\n"
    "Removes the installed packages NAME and the dependencies installed for them\n"
    "that no other package needs. A package that another one needs is not removed.\n"
    "  --alone   remove only the packages named\n"
    "  -y, --yes do not ask for confirmation\n";

bool planned(const std::vector<QptPtr> &plans, const std::string &name)
{
    return std::any_of(plans.begin(), plans.end(), [&](const QptPtr &t) {
        return t->qpi->name == name ||
               std::any_of(t->deps.begin(), t->deps.end(), [&](const qpd &d) { return d.name == name; });
    });
}

std::vector<std::string> names_of(const qpt &t)
{
    std::vector<std::string> names{t.qpi->name};
    for (const qpd &d : t.deps)
        names.push_back(d.name);
    return names;
}

} // namespace

int qpm_cmd_remove(int argc, char **argv)
{
    bool alone = false, yes = false;
    std::vector<std::string> names;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (options_done || word.empty() || word[0] != '-') {
            names.push_back(word);
        } else if (word == "--") {
            options_done = true;
        } else if (word == "-h" || word == "--help") {
            std::fputs(REMOVE_USAGE, stdout);
            return 0;
        } else if (word == "--alone") {
            alone = true;
        } else if (word == "-y" || word == "--yes") {
            yes = true;
        } else {
            std::fprintf(stderr, "qpm remove: unknown option %s\n%s", word.c_str(), REMOVE_USAGE);
            return 2;
        }
    }
    if (names.empty()) {
        std::fputs(REMOVE_USAGE, stderr);
        return 2;
    }
    if (::geteuid() != 0) {
        std::fputs("qpm remove: only root may remove packages\n", stderr);
        return 1;
    }
    qpm_change_run_start();
    QpmPtr qpm = qpm_open(nullptr, nullptr);
    if (!qpm || qpm_lock(qpm.get()) != 0)
        return 1;

    // Every name is planned before anything changes: one that cannot go
    // stops the whole request.
    std::vector<QptPtr> plans;
    bool refused = false;
    for (const std::string &name : names) {
        if (planned(plans, name))
            continue;
        QptPtr plan;
        if (!qpm_pre_delete(qpm.get(), name, alone ? QPM_DELETE_ALONE : 0, plan))
            refused = true;
        else
            plans.push_back(std::move(plan));
    }
    if (refused) {
        std::fputs("qpm remove: nothing removed\n", stderr);
        return 1;
    }

    std::vector<std::string> going;
    for (const QptPtr &plan : plans)
        for (std::string &name : names_of(*plan))
            going.push_back(std::move(name));
    if (!yes) {
        std::string list;
        for (const std::string &name : going)
            list += (list.empty() ? "" : ", ") + name;
        const int saved_mode = vote_mode;
        ScopeGuard restore([&] { vote_mode = saved_mode; });
        vote_mode = 1;
        const std::string question =
            strprintf("Remove %d package(s) (%s)", static_cast<int>(going.size()), list.c_str());
        if (qpmui_yesno(qpmui.get(), question.c_str(), 0) != 1) {
            std::fputs("qpm remove: nothing removed\n", stderr);
            return 1;
        }
    }

    for (const QptPtr &plan : plans) {
        if (const int rc = qpm_exe_delete(qpm.get(), *plan); rc != 0) {
            qpmui_write(qpmui.get(), strprintf("qpm remove: failure removing %s, rc: %d\n", plan->qpi->name.c_str(), rc));
            return 1;
        }
        for (const std::string &name : names_of(*plan))
            qpmui_write(qpmui.get(), strprintf("%s removed\n", name.c_str()));
    }
    qpm_close(std::move(qpm));
    return 0;
}

