// qpm: questions about the installed system and the catalogue, and the
// commands that remove, check and mend installed packages.
//
//   qpm [-o OPTIONS] COMMAND [ARGUMENTS]
//
// Exit status: 0 done, 1 failed, 2 a usage error.
#include "cmdline.h"
#include "commands.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using CommandFn = int (*)(int argc, char **argv);

struct Command {
    const char *name;
    const char *synopsis;
    const char *summary;
    CommandFn run;
};

// One line per command.
constexpr Command COMMANDS[] = {
    {"list", "[PATTERN]", "list the installed packages", qpm_cmd_list},
    {"info", "NAME", "show the details of an installed package", qpm_cmd_info},
    {"files", "NAME", "list the files and links of an installed package", qpm_cmd_files},
    {"owner", "PATH...", "tell which installed package holds a path", qpm_cmd_owner},
    {"search", "PATTERN", "search the package catalogue", qpm_cmd_search},
    {"log", "[--reverse] [--raw]", "list the action log", qpm_cmd_log},
    {"plan", "install|upgrade NAME...", "show what an install or upgrade would do", qpm_cmd_plan},
    {"remove", "[--alone] [--yes] NAME...", "remove packages (root)", qpm_cmd_remove},
    {"check", "[--fix] [NAME]", "check installed packages", qpm_cmd_check},
    {"fix", "NAME X|D [HEAD]", "mend the install record of a package (root)", qpm_cmd_fix},
};

const Command *find_command(const char *name)
{
    for (const Command &command : COMMANDS) {
        if (std::strcmp(command.name, name) == 0)
            return &command;
    }
    return nullptr;
}

void tool_help(FILE *out)
{
    std::fprintf(out, "Usage: qpm [-o OPTIONS] COMMAND [ARGUMENTS]\n\nCommands:\n");
    for (const Command &command : COMMANDS)
        std::fprintf(out, "  %-8s %-27s %s\n", command.name, command.synopsis, command.summary);
    std::fprintf(out, "\nOptions:\n"
                      "  -o OPTIONS   comma-separated key=value options, given to the command\n"
                      "               (outform=c|l|x: CSV, LDIF or text; verbose=yes)\n"
                      "  --help       show this help; 'qpm help COMMAND' or 'qpm COMMAND --help'\n"
                      "               for a command\n"
                      "  --version    show the version\n"
                      "\nExit status: 0 done, 1 failed, 2 usage error.\n");
}

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "qpm: %s\n", what.c_str());
    std::fprintf(stderr, "Try 'qpm --help' for more.\n");
    return 2;
}

int run(int argc, char **argv)
{
    umask(022);
    qpm::pqpm_ensure_std_fds();

    // Options before the command: -o goes on to the command.
    std::vector<char *> global_options;
    int at = 1;
    for (; at < argc && argv[at][0] == '-'; ++at) {
        const std::string word = argv[at];
        if (word == "--help" || word == "-h") {
            tool_help(stdout);
            return 0;
        }
        if (word == "--version" || word == "-V") {
            std::printf("qpm %s\n", QPM_VERSION);
            return 0;
        }
        if (word == "-o" && at + 1 < argc) {
            global_options.push_back(argv[at]);
            global_options.push_back(argv[++at]);
            continue;
        }
        if (word.starts_with("-o") && word.size() > 2) {
            global_options.push_back(argv[at]);
            continue;
        }
        return usage_error(word == "-o" ? "option -o needs a value" : "unknown option " + word);
    }
    if (at == argc) {
        tool_help(stderr);
        return 2;
    }

    std::string name = argv[at];
    std::vector<char *> words;
    static char help_word[] = "--help";
    if (name == "help") {
        if (at + 1 == argc) {
            tool_help(stdout);
            return 0;
        }
        // "qpm help CMD" is "qpm CMD --help".
        name = argv[at + 1];
        if (!find_command(name.c_str()))
            return usage_error("unknown command '" + name + "'");
        words = {argv[at + 1], help_word};
    } else {
        words.push_back(argv[at]);
        words.insert(words.end(), global_options.begin(), global_options.end());
        words.insert(words.end(), argv + at + 1, argv + argc);
    }
    const Command *command = find_command(name.c_str());
    if (!command)
        return usage_error("unknown command '" + name + "'");
    words.push_back(nullptr);
    return command->run(static_cast<int>(words.size()) - 1, words.data());
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qpm: %s\n", e.what());
        return 1;
    }
}
