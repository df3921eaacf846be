#include "ui/ftable.h"

#include "record/ldif.h"
#include "ui/ui.h"
#include "util/log.h"
#include "util/strfmt.h"

namespace qpm {
namespace {

const char *value_or_empty(const Ekva *record, std::string_view key)
{
    const char *value = ekva_getval(record, key);
    return value ? value : "";
}

FILE *ui_out()
{
    return qpmui ? qpmui->out : stdout;
}

} // namespace

QpmFtable::QpmFtable(FILE *out, const Ekva *header, int value, int form, int count_start)
    : m_out(out), m_form(form), m_value(value), m_count(count_start)
{
    if (!header)
        return;
    for (const EkvaEntry &entry : header->entries()) {
        bool seen = false;
        for (const std::string &column : m_columns)
            seen = seen || equals_nocase(column, entry.key);
        if (!seen)
            m_columns.push_back(entry.key);
    }
}

int QpmFtable::begin()
{
    if (m_form == QPM_FORM_CSV) {
        EkvaPtr names = ekva_new(static_cast<int>(m_columns.size()) + 1, 3);
        for (const std::string &column : m_columns)
            ekva_addval(names, column, std::nullopt, EKVA_APPEND);
        std::fprintf(m_out, "%s\n", ekva2csv(names.get(), ',', 0, 1).value_or("").c_str());
    } else if (m_form == QPM_FORM_LDIF) {
        qlog(LL_DEBUG, "Ldif needs no header");
    } else {
        std::fprintf(m_out, "%-25s %-15s %-35s\n", "Name (with variant)", "Version", "Description");
        std::fprintf(m_out, "%-25s %-15s %-35s\n", "-------------------", "-------", "-----------");
    }
    return 0;
}

int QpmFtable::add(const Ekva *record)
{
    ++m_count;
    if (m_form == QPM_FORM_CSV) {
        // Every column of the header, in its order: a value the record lacks
        // is an empty field, one it holds several times is joined with '|'.
        EkvaPtr row = ekva_new(static_cast<int>(m_columns.size()) + 1, 3);
        for (const std::string &column : m_columns) {
            const std::optional<std::string> joined =
                ekva_getval(record, column) ? ekva_getvals_str(record, column, '|') : std::nullopt;
            ekva_addval(row, column, joined, EKVA_APPEND);
        }
        std::fprintf(m_out, "%s\n", ekva2csv(row.get(), ',', 0, 0).value_or("").c_str());
    } else if (m_form == QPM_FORM_LDIF) {
        if (record) {
            for (const EkvaEntry &entry : record->entries()) {
                if (entry.value && entry.key.find(";binary") == std::string::npos)
                    ldif_fwrite(m_out, entry.key, *entry.value, LDIF_TEXT);
            }
        }
        std::fputs("\n", m_out);
    } else {
        const std::string name = value_or_empty(record, "eqpkName");
        const char *variant = ekva_getval(record, "eqpkVariant");
        const std::string shown =
            variant && *variant ? strprintf("%s_%s", name.c_str(), variant).substr(0, 24) : name.substr(0, 25);
        std::fprintf(m_out, "%-25s %-15s %-35s\n", shown.c_str(), value_or_empty(record, "eqpkVersion"),
                     value_or_empty(record, "eqpkDescription"));
    }
    return 0;
}

QpmFtablePtr qpm_ftable_new(FILE *out, const Ekva *header, int value, int form, int count_start)
{
    QpmFtablePtr table = std::make_unique<QpmFtable>(out ? out : ui_out(), header, value, form, count_start);
    table->begin();
    return table;
}

int qpm_ftable_add(QpmFtable *table, const Ekva *record)
{
    return table ? table->add(record) : -1;
}

int qpm_ftable_end(QpmFtable *table)
{
    if (!table)
        return -1;
    std::fputs("\n", table->out());
    std::fflush(table->out());
    return 0;
}

int ldif_uiwrite(std::string_view name, std::string_view value, size_t length, int binary)
{
    if (binary)
        value = value.substr(0, length);
    std::string line;
    const int written = ldif_write(line, name, value, binary ? LDIF_BINARY : LDIF_TEXT);
    if (written > 0 && qpmui)
        qpmui_line_add(qpmui.get(), line);
    return written;
}

} // namespace qpm
