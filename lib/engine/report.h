#pragma once
// Reports for a person or another program: the details of one package, a
// list of packages, and the plan of a transaction. Each writes to the file
// it is given or, without one, to the terminal interface; failures are
// logged and reported by the result only.
#include "engine/deps.h"
#include "package/qpk_info.h"

#include <cstdio>

namespace qpm {

// Forms of the package details writer.
constexpr int QPM_INFO_TEXT = 1;     // labelled lines
constexpr int QPM_INFO_LDIF = 2;     // one LDIF entry
constexpr int QPM_INFO_LINE = 4;     // one colon-separated line
constexpr int QPM_INFO_FORM = 6;     // a form of the interface

// Kinds of package for the details writer.
constexpr int QPM_INFO_INSTALLED = 2; // install time, type and update times
constexpr int QPM_INFO_CATALOGUE = 3; // its file size

// Sources of a package list (they select the heading and the columns).
constexpr int QPM_LIST_CATALOGUE = 1;
constexpr int QPM_LIST_INSTALLED = 2;

// List form of an interface table.
constexpr int QPM_LIST_TABLE = 5;

// Writes the details of `info` in `list_format` to `file`, or without a file
// to the interface (nothing when there is none). 0 (any other form writes nothing); the result of
// qpmui_write_form for form 6.
int qpm_qpk_info_write(const qpk_info *info, FILE *file, int type, int list_format);

// Writes the first `count` records of `infos` as a list: form 5 an interface
// table (with a "Dependencies" column when `with_dependencies`), 2 LDIF
// entries, 4 CSV rows under a header, anything else text columns; to `file`
// or without one to standard output. 0, or -1 when the table failed.
int qpm_qpk_list_write(FILE *file, const QpiList &infos, int count, int source, int form, int with_dependencies);

// Writes what a transaction would do: form 2 one LDIF entry per action,
// anything else an interface table titled `title` (with the package and
// installed sizes in kilobytes when `with_sizes`). 0, or -1 when the table
// failed.
int qpm_qpa_list_write(const QpaList &actions, const char *title, int form, int with_sizes);

} // namespace qpm
