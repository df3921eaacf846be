#pragma once
// Building blocks of the reports: the table writer that lists package
// records as text columns, LDIF entries or CSV rows, and the LDIF line that
// goes to the interface's text buffer.
#include "record/ekva.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qpm {

// The base of every distinguished name the reports write.
constexpr const char *QPM_BASE_DN = "dc=quendari,dc=org";

// Output forms of the table writer (the "outform" codes).
constexpr int QPM_FORM_TEXT = 1;
constexpr int QPM_FORM_LDIF = 2;
constexpr int QPM_FORM_CSV = 4;

// One table being written to a stream. The columns are the keys of the
// header record, each once, in order; every CSV row is built from that same
// key list, so header and rows always line up whatever a record holds.
class QpmFtable {
public:
    QpmFtable(FILE *out, const Ekva *header, int value, int form, int count_start);

    FILE *out() const { return m_out; }
    int form() const { return m_form; }
    // The caller's own number, kept with the table.
    int value() const { return m_value; }
    // Rows written, counted on from `count_start`.
    int count() const { return m_count; }
    const std::vector<std::string> &columns() const { return m_columns; }

    // Writes the header of the form (none for LDIF); 0.
    int begin();
    // Writes one package record (eqpk attributes); 0.
    int add(const Ekva *record);

private:
    FILE *m_out;
    int m_form;
    int m_value;
    int m_count;
    std::vector<std::string> m_columns;
};

using QpmFtablePtr = std::unique_ptr<QpmFtable>;

// Opens a table on `out` (null: standard output of the interface) and
// writes its header.
QpmFtablePtr qpm_ftable_new(FILE *out, const Ekva *header, int value, int form, int count_start);
// One row; 0 (-1 for a null table).
int qpm_ftable_add(QpmFtable *table, const Ekva *record);
// Ends the table with a line feed and flushes it; 0 (-1 for a null table).
int qpm_ftable_end(QpmFtable *table);

// Formats one LDIF attribute line (folded; Base64 when `binary` or when the
// value needs it) and appends it to the interface's text buffer. With
// `binary` 0 the value's own length counts and `length` is not read.
// Returns what ldif_write reported: the bytes of the line, or -1.
int ldif_uiwrite(std::string_view name, std::string_view value, size_t length, int binary);

} // namespace qpm
