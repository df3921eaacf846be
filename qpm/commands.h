#pragma once
// The commands of qpm. Each takes the command's own words (argv[0] is the
// command name) and returns the exit status: 0 done, 1 failure, 2 usage.

namespace qpm {

int qpm_cmd_remove(int argc, char **argv); // qpm remove [--alone] [--yes] NAME...
int qpm_cmd_check(int argc, char **argv);  // qpm check [--fix] [--verbose] [NAME]
int qpm_cmd_fix(int argc, char **argv);    // qpm fix NAME X|D [HEAD]

} // namespace qpm
