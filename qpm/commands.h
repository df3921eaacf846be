#pragma once
// The commands of qpm. Each takes its own words (argv[0] is the command's
// name), answers --help itself and returns the exit status: 0 done, 1
// failed, 2 a usage error.

// Queries: any user, no lock, nothing written.
int qpm_cmd_list(int argc, char **argv);   // list [PATTERN]
int qpm_cmd_info(int argc, char **argv);   // info NAME
int qpm_cmd_files(int argc, char **argv);  // files NAME
int qpm_cmd_owner(int argc, char **argv);  // owner PATH...
int qpm_cmd_search(int argc, char **argv); // search PATTERN
int qpm_cmd_log(int argc, char **argv);    // log [--reverse] [--raw]
int qpm_cmd_plan(int argc, char **argv);   // plan install|upgrade NAME...

// Changes and checks.
int qpm_cmd_remove(int argc, char **argv); // remove [--alone] [--yes] NAME...
int qpm_cmd_check(int argc, char **argv);  // check [--fix] [NAME]
int qpm_cmd_fix(int argc, char **argv);    // fix NAME X|D [HEAD]
