#pragma once
// What every query command of qpm shares: reading its words and options,
// its help, the interface and log of a run that writes nothing, and the
// inventory and catalogue opened for reading.
#include "engine/backend.h"
#include "package/handle.h"
#include "record/ekva.h"
#include "util/getopts.h"
#include "util/strarr.h"

#include <initializer_list>
#include <memory>
#include <span>
#include <string>

namespace qpm {

// Exit statuses.
constexpr int QPM_EXIT_OK = 0;
constexpr int QPM_EXIT_FAILURE = 1;
constexpr int QPM_EXIT_USAGE = 2;

// How one command is called.
struct CommandSpec {
    const char *name;
    const char *synopsis;    // after "qpm NAME": "[PATTERN]"
    const char *description; // lines of the help, each ending in a line feed
    std::span<const GetoptsOption> flags;       // its own flags, besides -o and --help
    std::initializer_list<const char *> keys;   // the -o keys it reads besides verbose
    int min_words = 0;
    int max_words = -1; // -1: any number
};

// A command's words once read.
struct CommandLine {
    EkvaPtr options;    // from -o, then ~/.qpmrc for keys not given there
    StrArr words;       // the arguments that are not options
    std::vector<int> flags; // codes of the flags given, in order
    int outform = 1;    // as qpm_get_outform reads the options

    bool has(int flag) const;
};

// Reads the words of a command (argv[0] is its name): its flags, "-o
// OPTIONS" (also as "-oOPTIONS"), "--" ending the options, and the
// arguments, whose number must fit the command. Prints the help for --help, -h
// or "-o help". Then makes the interface (questions never asked) and a log
// that writes only to standard error (errors and warnings; with the option
// verbose also notes). Returns -1 when the command goes on, else its exit
// status: 0 after the help, 2 for a usage error (said on standard error).
int qpm_command_start(const CommandSpec &command, int argc, char **argv, CommandLine &line);

// The interface and log of a command that changes the inventory (remove,
// fix, check --fix): its words are its own; errors and warnings go to
// standard error and, for root, everything to the system's log file.
void qpm_change_run_start();

// The help of a command, to standard output.
void qpm_command_help(const CommandSpec &command);

// Writes "qpm NAME: " and the formatted text, and a line feed, to standard error.
void qpm_say_error(const CommandSpec &command, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The inventory for reading (no lock); null after a message.
QpmPtr qpm_open_for_reading(const CommandSpec &command);

// The configured catalogue backend, loaded and connected.
struct CatalogueAccess {
    EkvaPtr configuration;
    std::unique_ptr<CatalogueSession> session;
    QpcConnection connection() const { return session ? session->connection() : nullptr; }
};

// Reads the system configuration, loads its backend and connects; false
// after a message.
bool qpm_open_catalogue(const CommandSpec &command, CatalogueAccess &access);

} // namespace qpm
