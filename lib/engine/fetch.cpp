#include "engine/fetch.h"

#include "engine/deps.h"
#include "package/qpk_info.h"
#include "package/tree.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace qpm {
namespace {

bool for_update(FetchFor who) { return who != FetchFor::Install; }

// A package file named on the command line (or found in a directory) is
// copied, then checked against what was read when the request was planned:
// the file may have changed since, and only that reading was checked. The
// size is checked here, the SHA-1 while the copy is unpacked.
int copy_local(const qpk_info &qpi, const std::string &staged, FetchFor who, bool talk)
{
    if (talk)
        qlog(LL_INFO, "copying %s.qpk", qpk_puname(qpi).c_str());
    const std::string uri = qpi.absolute_uri.value_or("");
    const long long copied = uri.empty() ? -1 : qpm_qpf_copy(staged, uri, std::nullopt, 0);
    if (copied < 0) {
        if (for_update(who))
            qlog(LL_ERROR, "qpm_exe_update: Failed to copy %s to %s", uri.c_str(), staged.c_str());
        else
            qlog(LL_ERROR, "qpm_exe_install: Failed to copy %s to %s", uri.c_str(), staged.c_str());
        return -1;
    }
    if (copied != qpi.file_size) {
        qlog(LL_ERROR, "%s: %s changed since it was read, refusing it",
             for_update(who) ? "qpm_exe_update" : "qpm_exe_install", uri.c_str());
        ::unlink(staged.c_str());
        return -1;
    }
    return 0;
}

int fetch_remote(const qpk_info &qpi, const std::string &staged, QpcConnection connection, FetchFor who, bool talk)
{
    if (qpm_stage_have_qpk(staged, &qpi))
        return 0;
    FilePtr out = fopen_cloexec(staged, "wb");
    if (!out) {
        const int saved = errno;
        if (for_update(who))
            qlog(LL_ERROR, "qpm_exe_update: Failed to open %s for writing: %s", staged.c_str(), std::strerror(saved));
        else
            qlog(LL_ERROR, "qpm_exe_install: Failed to open %s for writing: %s", staged.c_str(), std::strerror(saved));
        return -1;
    }
    if (talk && who == FetchFor::UpdateDependency)
        qlog(LL_INFO, "retrieving %s.qpk", qpk_puname(qpi).c_str());
    else if (talk)
        qlog(LL_INFO, "getting %s.qpk", qpk_puname(qpi).c_str());
    const long rc = pqpm_qpc_readpkg ? pqpm_qpc_readpkg(connection, &qpi, out.get()) : -1;
    const bool closed = std::fclose(out.release()) == 0;
    if (rc != qpi.file_size || !closed) {
        const auto size = static_cast<unsigned long>(qpi.file_size);
        if (for_update(who))
            qlog(LL_ERROR, "qpm_exe_update: Failed to get %lu bytes from qpc_readpkg into %s. rc = %d", size,
                 staged.c_str(), static_cast<int>(rc));
        else
            qlog(LL_ERROR, "qpm_exe_install: Failed to get %lu bytes from qpc_readpkg into %s. rc = %d", size,
                 staged.c_str(), static_cast<int>(rc));
        // A short file is no use to a later run either.
        ::unlink(staged.c_str());
        return -1;
    }
    return 0;
}

} // namespace

std::string staged_file(const std::string &stagearea, const qpk_info &qpi)
{
    return strprintf("%s/%s.qpk", stagearea.c_str(), qpk_puname(qpi).c_str());
}

int fetch_package(const qpk_info &qpi, char source, const std::string &stagearea, QpcConnection connection,
                  FetchFor who, bool talk)
{
    const std::string staged = staged_file(stagearea, qpi);
    return source == QPD_LOCAL ? copy_local(qpi, staged, who, talk)
                               : fetch_remote(qpi, staged, connection, who, talk);
}

void clean_staged(const std::string &stagearea, const qpk_info &qpi)
{
    qlog(LL_INFO, "removing %s.qpk", qpk_puname(qpi).c_str());
    ::unlink(staged_file(stagearea, qpi).c_str());
}

} // namespace qpm
