#include "engine/prefetch.h"

#include "engine/deps.h"
#include "package/qpk_info.h"
#include "util/log.h"
#include "util/strfmt.h"

#include <vector>

namespace qpm {

int qpm_prefetch(const qpt &record, const std::string &stagearea, QpcConnection connection)
{
    if (!pqpm_qpc_fetchpkgs)
        return 0;
    std::vector<const qpk_info *> wanted;
    std::vector<std::string> paths;
    const auto want = [&](const qpk_info *qpi) {
        const std::string staged = strprintf("%s/%s.qpk", stagearea.c_str(), qpk_puname(*qpi).c_str());
        if (qpm_stage_have_qpk(staged, qpi))
            return;
        wanted.push_back(qpi);
        paths.push_back(staged);
    };
    if (record.qpi && record.source == QPD_REMOTE)
        want(record.qpi.get());
    for (const qpd &d : record.deps)
        if (d.qpi && d.status == QPD_REMOTE)
            want(d.qpi.get());
    if (wanted.empty())
        return 0;
    std::vector<const char *> path_texts;
    for (const std::string &p : paths)
        path_texts.push_back(p.c_str());
    const int fetched =
        pqpm_qpc_fetchpkgs(connection, wanted.data(), path_texts.data(), static_cast<int>(wanted.size()));
    qlog(LL_DEBUG, "qpm_prefetch: %d of %zu package files fetched side by side", fetched, wanted.size());
    return fetched;
}

} // namespace qpm
