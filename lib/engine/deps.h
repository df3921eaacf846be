#pragma once
// What a requested package needs, where each dependency comes from and in
// which order the lot is installed: the dependency record (qpd), the
// transaction record (qpt), the recursive walks that fill them, and the
// package action list (qpa) used by reports.
#include "engine/search.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qpm {

// Dependency status letters.
constexpr char QPD_UNRESOLVED = 'U';
constexpr char QPD_INSTALLED = 'I'; // already installed
constexpr char QPD_LOCAL = 'L';     // a package file in one of the caller's directories
constexpr char QPD_REMOTE = 'R';    // the catalogue

// Action letters of qpd, qpt and qpa entries.
constexpr char QPM_ACTION_NOTHING = 'N';
constexpr char QPM_ACTION_INSTALL = 'I';
constexpr char QPM_ACTION_UPDATE = 'U';
constexpr char QPM_ACTION_DELETE = 'D';

// The level of a qpd that has not been ordered yet.
constexpr int QPD_LEVEL_UNSORTED = 99;

// The result of a walk with a dependency that cannot be resolved.
constexpr int QPM_DEPS_UNRESOLVED = 99;

struct qpd {
    char status = QPD_UNRESOLVED;
    char action = 0; // 'N' with status 'I', 'I' with 'L' and 'R'
    std::string name;
    std::string head; // the package whose dependency list named it
    QpiPtr qpi;       // installed, package file or catalogue record; null while unresolved
    int level = QPD_LEVEL_UNSORTED;
    int circular = 0; // met again on its own dependency path: ordering does not wait for it
};

using QpdList = std::vector<qpd>;

struct qpt {
    std::string request; // a package name or the path of a package file, as given
    char source = 0;     // 'L' package file, 'R' catalogue
    char action = 0;     // 'I', 'U', 'D'
    QpiPtr qpi;
    char state = QPM_ACTION_NOTHING;
    int ndeps = 0;
    QpdList deps;         // in install order read from the end, each name once
    EkvaPtr scripts;      // per package: configure script or hook commands (install)
    EkvaPtr qpm_hookcmds; // hook commands to run when the run is over
    long tot_file_size = 0;
    long tot_data_size = 0;
};

using QptPtr = std::unique_ptr<qpt>;

// One entry of a package action list: code (action, then the state or
// status), package name and a copy of its record.
struct qpa_entry {
    std::string code;
    std::string name;
    QpiPtr qpi;
};

using QpaList = std::vector<qpa_entry>;

// Resolves `dependency` of `candidate` into `out`: installed, else a package
// file of `directories`, else the catalogue; status 'U' when none. Returns out.
qpd &qpm_get_dependency(const qpm_handle *qpm, const std::string &candidate, const std::string &dependency,
                        QpcConnection connection, const StrArr &directories, qpd &out);

// Walks the dependencies of `qpi`, which is to be installed, appending one
// qpd per dependency met to `deps`; `counter` adds up the dependencies seen
// (pass 0 and an empty list at first). A repeated name is stored but not
// walked again; when it lies on the walk's own path (a cycle), the records
// met before under that name are marked circular. An installed dependency is
// not descended into. 0, or 99 when a dependency cannot be resolved or the
// package is for another architecture.
int qpm_chk_install(const qpm_handle *qpm, const qpk_info *qpi, QpcConnection connection, const StrArr &directories,
                    int &counter, QpdList &deps);

// The same, also descending into the dependencies of installed packages.
int qpm_chk_walk(const qpm_handle *qpm, const qpk_info *qpi, QpcConnection connection, const StrArr &directories,
                 int &counter, QpdList &deps);

// Orders `deps` so that, read from its end, every package comes after what
// it depends on (cycles aside): levels by passes, highest level first,
// equal levels in walk order.
void qpds_sort(QpdList &deps);

// A transaction record for `qpi` with state 'N' and the totals of the
// package itself; no dependencies, no script records.
QptPtr qpt_new(const std::string &request, char source, char action, QpiPtr qpi);

// The dependency part of a transaction: sorts the walk's records and moves
// those to act on into `t.deps`, each name once (the package itself never),
// adding their sizes to the totals. Installed dependencies are skipped unless
// `keep_installed` is set. `walk` is emptied. Returns `t.ndeps`.
int qpm_qpt_add_deps(qpt &t, QpdList &walk, int keep_installed);

// A transaction record for `request` (a package name or package file) with
// every dependency, installed ones included, as qpm_chk_walk finds them; no
// action and no script records. Null, with a word on the terminal when the
// request is not found, or when a dependency cannot be resolved.
QptPtr qpm_walk(const qpm_handle *qpm, QpcConnection connection, const std::string &request,
                const std::optional<std::string> &variant, const StrArr &directories);

// Names of the installed packages (sorted) whose dependency list names `name`.
StrArr qpm_dependson(const qpm_handle *qpm, const std::string &name);

// 1 when the file at `path` has the record's file size and SHA-1, else 0.
int qpm_stage_have_qpk(const std::string &path, const qpk_info *qpi);

// 1 when no entry of `list` has the record's name, else 0.
int qpm_qpa_list_new_qpi(const QpaList &list, const qpk_info *qpi);

// Appends the qpt's package and its dependencies that need action, each name
// once; returns the new number of entries.
int qpm_qpa_list_add_qpt(const qpt &t, QpaList &list);

inline void qpt_free(QptPtr &t) { t.reset(); }
inline void qpd_free(qpd &d) { d = qpd{}; }
inline void qpm_qpa_list_free(QpaList &list) { list.clear(); }
inline void qpm_qpi_list_free(QpiList &list) { list.clear(); }

} // namespace qpm
