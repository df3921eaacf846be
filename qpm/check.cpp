// qpm check and qpm fix: the consistency checks of the inventory, and the
// rewrite of one package's install record.
#include "commands.h"
#include "front.h"

#include "engine/checks_inventory.h"
#include "engine/inventory.h"
#include "engine/search.h"
#include "package/qpk_info.h"
#include "ui/ui.h"
#include "util/globals.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <cstdio>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace qpm;

namespace {

constexpr const char *CHECK_USAGE =
    "usage: qpm check [--fix] [--verbose] [NAME]\n"
    "Verifies the files of NAME (of every installed package without NAME) against\n"
    "the digests in its record, then looks for record directories that hold no\n"
    "package and for dependencies that nothing needs any more. Changes nothing\n"
    "unless --fix is given; exits with 1 when something was found.\n"
    "  --fix         ask what to do with each finding (root only)\n"
    "  -v, --verbose show every file checked\n";

constexpr const char *FIX_USAGE =
    "usage: qpm fix NAME X|D [HEAD]\n"
    "Marks the installed package NAME as installed at the user's request (X) or\n"
    "as a dependency of the package HEAD (D), keeping its first install time.\n";

// The process-wide check settings for one command, put back afterwards.
class CheckMode {
public:
    CheckMode(int dry, int vote) : m_dry(dry_run), m_vote(vote_mode)
    {
        dry_run = dry;
        vote_mode = vote;
    }
    CheckMode(const CheckMode &) = delete;
    CheckMode &operator=(const CheckMode &) = delete;
    ~CheckMode()
    {
        dry_run = m_dry;
        vote_mode = m_vote;
    }

private:
    int m_dry, m_vote;
};

bool root_only(const char *command)
{
    if (::geteuid() == 0)
        return true;
    std::fprintf(stderr, "qpm %s: only root may change the inventory\n", command);
    return false;
}

} // namespace

int qpm_cmd_check(int argc, char **argv)
{
    bool fix = false, show = false;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.empty() || word[0] != '-') {
            names.push_back(word);
        } else if (word == "-h" || word == "--help") {
            std::fputs(CHECK_USAGE, stdout);
            return 0;
        } else if (word == "--fix") {
            fix = true;
        } else if (word == "-v" || word == "--verbose") {
            show = true;
        } else {
            std::fprintf(stderr, "qpm check: unknown option %s\n%s", word.c_str(), CHECK_USAGE);
            return 2;
        }
    }
    if (names.size() > 1) {
        std::fputs(CHECK_USAGE, stderr);
        return 2;
    }
    if (fix && !root_only("check"))
        return 1;
    qpm_change_run_start();
    QpmPtr qpm = qpm_open(nullptr, nullptr);
    if (!qpm || (fix && qpm_lock(qpm.get()) != 0))
        return 1;
    // Without --fix nothing is asked and nothing changes.
    const CheckMode mode(fix ? 0 : 1, fix ? 1 : 3);

    if (names.empty())
        names = qpm_list_arr(qpm.get(), 1);
    else if (!qpm_qpl_info(qpm.get(), names.front())) {
        std::fprintf(stderr, "qpm check: %s is not installed\n", names.front().c_str());
        return 1;
    }
    int status = 0;
    for (const std::string &name : names) {
        if (qpm_chkhash(qpm.get(), name, show ? 1 : 0) != 0)
            status = 1;
    }
    if (qpm_chkinst(qpm.get(), 1) != 0)
        status = 1;
    if (qpm_chkhead(qpm.get()) != 0)
        status = 1;
    qpm_close(std::move(qpm));
    return status;
}

int qpm_cmd_fix(int argc, char **argv)
{
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-h" || word == "--help") {
            std::fputs(FIX_USAGE, stdout);
            return 0;
        }
        if (!word.empty() && word[0] == '-') {
            std::fprintf(stderr, "qpm fix: unknown option %s\n%s", word.c_str(), FIX_USAGE);
            return 2;
        }
        words.push_back(word);
    }
    // X takes no head; D needs the package it was installed for.
    const bool shape_ok = (words.size() == 2 && words[1] == "X") ||
                          (words.size() == 3 && words[1] == "D" && qpk_ident_valid(words[2]) && words[2] != words[0]);
    if (!shape_ok) {
        std::fputs(FIX_USAGE, stderr);
        return 2;
    }
    if (!root_only("fix"))
        return 1;
    qpm_change_run_start();
    QpmPtr qpm = qpm_open(nullptr, nullptr);
    if (!qpm || qpm_lock(qpm.get()) != 0)
        return 1;
    const std::string &name = words[0];
    const QpiPtr info = qpm_qpl_info(qpm.get(), name);
    if (!info) {
        std::fprintf(stderr, "qpm fix: %s is not installed\n", name.c_str());
        return 1;
    }
    const char type = words[1][0];
    const std::optional<std::string> head = words.size() == 3 ? std::optional<std::string>(words[2]) : std::nullopt;
    if (qpm_fixinst_qpk(qpm.get(), *info, type, head) != 0) {
        std::fprintf(stderr, "qpm fix: the install record of %s could not be rewritten\n", name.c_str());
        return 1;
    }
    if (head)
        qpmui_write(qpmui.get(), strprintf("%s: install type %c, installed for %s\n", name.c_str(), type, head->c_str()));
    else
        qpmui_write(qpmui.get(), strprintf("%s: install type %c\n", name.c_str(), type));
    qpm_close(std::move(qpm));
    return 0;
}

