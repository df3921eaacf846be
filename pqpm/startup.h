#pragma once
// pqpm's start-up, shared by every action but `allowed`: interface, options,
// system configuration, log and catalogue backend; and the refresh run.
#include "cmdline.h"
#include "record/ekva.h"
#include "util/raii.h"

namespace qpm {

struct PqpmRun {
    int mode = -1;
    EkvaPtr options;       // from -o, then .qpmrc for keys not given
    StrArr packages;       // as named on the command line (for messages)
    StrArr requests;       // what the engine is given for each of them
    EkvaPtr configuration; // /etc/qpm.conf
    int fastclean = 0;
    SharedLibrary backend;
};

// Runs the start-up steps. Returns -1 when the run goes on, otherwise the
// exit status with which it ends (0 after an option help).
int pqpm_startup(PqpmRun &run, const PqpmArgs &args);

// Asks the backend to refresh its catalogue; returns the exit status.
int pqpm_refresh(PqpmRun &run);

// Formats into the interface's text buffer and writes it to standard output.
void pqpm_say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace qpm
