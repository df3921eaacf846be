#include "engine/report.h"

#include "package/signature.h"
#include "record/ldif.h"
#include "ui/ftable.h"
#include "ui/ui.h"
#include "util/ldef.h"
#include "util/log.h"
#include "util/strarr.h"
#include "util/strfmt.h"

#include <ctime>

namespace qpm {
namespace {

// The columns of a CSV list, one ordered key list per source: the header
// row and every row come from it.
constexpr const char *COMMON_COLUMNS[] = {"eqpkName",        "eqpkVariant",    "eqpkVersion", "eqpkArchitecture",
                                          "eqpkCreator",     "eqpkDescription", "eqpkDependency", "eqpkDataSize"};
constexpr const char *CATALOGUE_COLUMNS[] = {"eqpkFileSize", "eqpkFileHash", "eqpkRsaSigSubj", "eqpkAbsoluteURI",
                                             "eqpkRelativeURI"};
constexpr const char *INSTALLED_COLUMNS[] = {"eqpkInstallTime", "eqpkInstallType", "eqpkInstallHead",
                                             "eqpkUpdateTime"};

std::string local_time(int64_t seconds)
{
    const time_t when = static_cast<time_t>(seconds);
    tm t {};
    localtime_r(&when, &t);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &t);
    return text;
}

const char *signature_wording(int status)
{
    switch (status) {
    case QPS_VERIFIED: return "Successfully verified";
    case QPS_MISSING: return "Missing signature";
    case QPS_UNTRUSTED: return "Untrusted signature";
    case QPS_INVALID: return "Invalid signature";
    default: return nullptr;
    }
}

const char *arch_name(const qpk_info &qpi)
{
    const char *name = qpm_arch_getname(qpi.architecture);
    return name ? name : "";
}

std::string joined(const StrArr &values, char separator)
{
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            text += separator;
        text += values[i];
    }
    return text;
}

int info_form(const qpk_info &qpi, int type)
{
    EkvaPtr entries = ekva_new(40, 3);
    ekva_addval(entries, "Name", qpi.name, EKVA_APPEND);
    if (qpi.variant)
        ekva_addval(entries, "Variant", *qpi.variant, EKVA_APPEND);
    ekva_addval(entries, "Version", qpi.version, EKVA_APPEND);
    ekva_addval(entries, "Architecture", arch_name(qpi), EKVA_APPEND);
    ekva_addval(entries, "Creator", qpi.creator.value_or(""), EKVA_APPEND);
    if (!qpi.description.empty())
        ekva_addval(entries, "Description", qpi.description, EKVA_APPEND);
    if (const char *wording = signature_wording(qpi.signature_status))
        ekva_addval(entries, "Signature", wording, EKVA_APPEND);
    for (const std::string &dependency : qpi.dependencies)
        ekva_addval(entries, "Dependency", dependency, EKVA_APPEND);
    ekva_addval(entries, "Data size", ldef_nice_byte(static_cast<double>(qpi.data_size)), EKVA_APPEND);
    if (type == QPM_INFO_CATALOGUE)
        ekva_addval(entries, "File size", ldef_nice_byte(static_cast<double>(qpi.file_size)), EKVA_APPEND);
    if (type == QPM_INFO_INSTALLED) {
        if (qpi.install_time > 0)
            ekva_addval(entries, "Installed at", local_time(qpi.install_time), EKVA_APPEND);
        ekva_addval(entries, "Installed as",
                    qpi.install_type == QPK_INSTALL_DEPENDENCY
                        ? strprintf("Dependency of %s", qpi.install_head.value_or("").c_str())
                        : std::string("Explicit request"),
                    EKVA_APPEND);
        if (!qpi.update_times.empty())
            ekva_addval(entries, "Last updated at", local_time(qpi.update_times.back()), EKVA_APPEND);
    }
    return qpmui_write_form("Package details", entries.get());
}

std::string info_text(const qpk_info &qpi)
{
    std::string text = strprintf("Name: %s\n", qpi.name.c_str());
    if (qpi.variant)
        text += strprintf("Variant: %s\n", qpi.variant->c_str());
    text += strprintf("Version: %s\n", qpi.version.c_str());
    text += strprintf("Architecture: %s\n", arch_name(qpi));
    if (qpi.creator)
        text += strprintf("Creator: %s\n", qpi.creator->c_str());
    for (const std::string &dependency : qpi.dependencies)
        text += strprintf("Dependency: %s\n", dependency.c_str());
    if (!qpi.description.empty())
        text += strprintf("Description: %s\n", qpi.description.c_str());
    if (qpi.install_time > 0) {
        text += strprintf("\nInstalled at: %s\n", local_time(qpi.install_time).c_str());
        if (qpi.install_type == QPK_INSTALL_DEPENDENCY)
            text += strprintf("Installed as: Dependency of %s\n", qpi.install_head.value_or("").c_str());
        else
            text += strprintf("Installed as: %s\n", "Explicit request");
        if (!qpi.update_times.empty())
            text += strprintf("Last updated at: %s\n", local_time(qpi.update_times.back()).c_str());
    }
    return text;
}

std::string info_line(const qpk_info &qpi)
{
    return strprintf("%s:%s:%s:%s:%s:%s:%s\n", qpi.name.c_str(), qpi.variant.value_or("").c_str(),
                     qpi.version.c_str(), arch_name(qpi), qpi.creator.value_or("").c_str(),
                     joined(qpi.dependencies, '|').c_str(), qpi.description.c_str());
}

// The LDIF entry of one package, line by line to `file` or to the
// interface's text buffer.
void info_ldif(const qpk_info &qpi, FILE *file)
{
    const auto put = [file](std::string_view name, std::string_view value, int binary) {
        if (file)
            ldif_fwrite(file, name, value, binary ? LDIF_BINARY : LDIF_TEXT);
        else
            ldif_uiwrite(name, value, value.size(), binary);
    };
    const auto put_opt = [&](std::string_view name, const std::optional<std::string> &value) {
        if (value)
            put(name, *value, 0);
    };
    const std::string puname = qpk_puname(qpi);
    const std::string dn = strprintf("dn: eqpkUid=%s,%s\n", puname.c_str(), QPM_BASE_DN);
    if (file)
        std::fputs(dn.c_str(), file);
    else if (qpmui)
        qpmui_line_add(qpmui.get(), dn);
    put("eqpkUid", puname, 0);
    put("eqpkName", qpi.name, 0);
    put_opt("eqpkVariant", qpi.variant);
    put("eqpkVersion", qpi.version, 0);
    if (const char *arch = qpm_arch_getname(qpi.architecture))
        put("eqpkArchitecture", arch, 0);
    put_opt("eqpkCreator", qpi.creator);
    for (const std::string &dependency : qpi.dependencies)
        put("eqpkDependency", dependency, 0);
    if (!qpi.description.empty())
        put("eqpkDescription", qpi.description, 0);
    put_opt("eqpkAbsoluteURI", qpi.absolute_uri);
    put_opt("eqpkRelativeURI", qpi.relative_uri);
    put("eqpkDataSize", strprintf("%ld", static_cast<long>(qpi.data_size)), 0);
    if (qpi.file_size > 0)
        put("eqpkFileSize", strprintf("%ld", static_cast<long>(qpi.file_size)), 0);
    put_opt("eqpkFileHash", qpi.file_hash);
    put_opt("eqpkRsaSigSubj", qpi.signer_subject);
    if (!qpi.signature.empty())
        put("eqpkRsaSigData", qpi.signature, 1);
    if (qpi.install_time > 0)
        put("eqpkInstallTime", strprintf("%ld", static_cast<long>(qpi.install_time)), 0);
    if (qpi.install_type)
        put("eqpkInstallType", strprintf("%c", qpi.install_type), 0);
    put_opt("eqpkInstallHead", qpi.install_head);
    for (const int64_t when : qpi.update_times)
        put("eqpkUpdateTime", strprintf("%ld", static_cast<long>(when)), 0);
}

EkvaPtr list_header(int source)
{
    EkvaPtr header = ekva_new(20, 3);
    for (const char *column : COMMON_COLUMNS)
        ekva_addval(header, column, std::nullopt, EKVA_APPEND);
    if (source == QPM_LIST_CATALOGUE)
        for (const char *column : CATALOGUE_COLUMNS)
            ekva_addval(header, column, std::nullopt, EKVA_APPEND);
    if (source == QPM_LIST_INSTALLED)
        for (const char *column : INSTALLED_COLUMNS)
            ekva_addval(header, column, std::nullopt, EKVA_APPEND);
    return header;
}

int list_table(const QpiList &infos, size_t count, const std::string &heading, int with_dependencies)
{
    QpmUiPtr local;
    QpmUi *ui = qpmui ? qpmui.get() : (local = qpmui_init(nullptr, 0)).get();
    EkvaPtr columns = ekva_new(10, 3);
    ekva_addval(columns, "Name", "20", EKVA_APPEND);
    ekva_addval(columns, "Variant", "10", EKVA_APPEND);
    ekva_addval(columns, "Version", "10", EKVA_APPEND);
    ekva_addval(columns, "Description", "35", EKVA_APPEND);
    if (with_dependencies)
        ekva_addval(columns, "Dependencies", "30", EKVA_APPEND);
    if (!ui || qpmui_write_table_new(ui, heading.c_str(), columns.get()) != 0) {
        qlog(LL_ERROR, "Error creating ui table");
        return -1;
    }
    for (size_t i = 0; i < count; ++i) {
        const qpk_info &qpi = *infos[i];
        EkvaPtr row = ekva_new(10, 3);
        ekva_addval(row, "Name", qpi.name, EKVA_APPEND);
        ekva_addval(row, "Variant", qpi.variant.value_or(""), EKVA_APPEND);
        ekva_addval(row, "Version", qpi.version, EKVA_APPEND);
        ekva_addval(row, "Description", qpi.description, EKVA_APPEND);
        if (with_dependencies)
            ekva_addval(row, "Dependencies", joined(qpi.dependencies, ','), EKVA_APPEND);
        if (qpmui_write_table_add(ui, row.get()) != 0) {
            qlog(LL_ERROR, "Error adding entry to ui table");
            return -1;
        }
    }
    if (qpmui_write_table_end(ui) != 0) {
        qlog(LL_ERROR, "Error writing ui table");
        return -1;
    }
    return 0;
}

} // namespace

int qpm_qpk_info_write(const qpk_info *info, FILE *file, int type, int list_format)
{
    qlog(LL_DEBUG, "qpm_qpk_info_write: list_format = %d", list_format);
    if (!info)
        return 0;
    if (list_format == QPM_INFO_FORM)
        return info_form(*info, type);
    if (list_format != QPM_INFO_TEXT && list_format != QPM_INFO_LDIF && list_format != QPM_INFO_LINE)
        return 0;

    qlog(LL_DEBUG, file ? "Writing info to file" : "Writing info to ui");
    // The text buffer is the process-wide interface's.
    QpmUi *ui = file ? nullptr : qpmui.get();
    if (!file && !ui)
        return 0;
    if (ui)
        qpmui_line_new(ui, "");
    if (list_format == QPM_INFO_LDIF) {
        info_ldif(*info, file);
    } else {
        const std::string text = list_format == QPM_INFO_TEXT ? info_text(*info) : info_line(*info);
        if (file)
            std::fputs(text.c_str(), file);
        else
            qpmui_line_add(ui, text);
    }
    if (ui)
        qpmui_write_info(ui, ui->text, 0);
    return 0;
}

int qpm_qpk_list_write(FILE *file, const QpiList &infos, int count, int source, int form, int with_dependencies)
{
    const size_t rows = count < 0 ? 0 : std::min(infos.size(), static_cast<size_t>(count));
    const std::string heading = source == QPM_LIST_CATALOGUE
                                    ? strprintf("Found %d matching packages in catalogue", static_cast<int>(rows))
                                    : strprintf("Found %d matching installed packages", static_cast<int>(rows));
    qlog(LL_DEBUG, file ? "Writing list to file" : "Writing list to ui");
    if (form == QPM_LIST_TABLE)
        return list_table(infos, rows, heading, with_dependencies);

    // Without a file the table goes straight to standard output.
    const EkvaPtr header = list_header(source);
    qlog(LL_DEBUG, "Opening table");
    QpmFtablePtr table = qpm_ftable_new(file, header.get(), source, form, 0);
    if (!table)
        return -1;
    const int kind = source == QPM_LIST_CATALOGUE ? QPK_KIND_CATALOGUE : QPK_KIND_INSTALLED;
    for (size_t i = 0; i < rows; ++i) {
        const qpk_info &qpi = *infos[i];
        EkvaPtr record = qpk_info_ekva(&qpi, kind);
        if (form == QPM_FORM_LDIF) {
            const std::string puname = qpk_puname(qpi);
            EkvaPtr entry = ekva_new(record->capacity() + 2, record->kind());
            ekva_addval(entry, "dn", strprintf("eqpkUid=%s,%s", puname.c_str(), QPM_BASE_DN), EKVA_APPEND);
            ekva_addval(entry, "eqpkUid", puname, EKVA_APPEND);
            for (const EkvaEntry &attribute : record->entries())
                ekva_addval(entry, attribute.key, attribute.value ? OptText(*attribute.value) : std::nullopt,
                            EKVA_APPEND);
            record = std::move(entry);
        }
        qpm_ftable_add(table.get(), record.get());
    }
    qlog(LL_DEBUG, "Closing table");
    return qpm_ftable_end(table.get());
}

int qpm_qpa_list_write(const QpaList &actions, const char *title, int form, int with_sizes)
{
    const auto action_word = [](const qpa_entry &entry) -> const char * {
        switch (entry.code.empty() ? '\0' : entry.code[0]) {
        case QPM_ACTION_INSTALL: return "install";
        case QPM_ACTION_UPDATE: return "update";
        case QPM_ACTION_DELETE: return "delete";
        default: return "";
        }
    };
    QpmUiPtr local;
    QpmUi *ui = qpmui ? qpmui.get() : (local = qpmui_init(nullptr, 0)).get();
    if (!ui)
        return -1;

    if (form == QPM_FORM_LDIF) {
        std::string text;
        for (const qpa_entry &entry : actions) {
            const std::string puname = entry.qpi ? qpk_puname(*entry.qpi) : entry.name;
            EkvaPtr record = ekva_new(10, 3);
            ekva_addval(record, "dn", strprintf("eqpkUid=%s,%s", puname.c_str(), QPM_BASE_DN), EKVA_APPEND);
            ekva_addval(record, "changeType", action_word(entry), EKVA_APPEND);
            ekva_addval(record, "eqpkUid", puname, EKVA_APPEND);
            ekva_addval(record, "eqpkName", entry.name, EKVA_APPEND);
            if (entry.qpi) {
                ekva_addval(record, "eqpkVersion", entry.qpi->version, EKVA_APPEND);
                ekva_addval(record, "eqpkDescription", entry.qpi->description, EKVA_APPEND);
            }
            text += ekva2ldif(record.get()).value_or("");
            text += '\n';
        }
        qpmui_write(ui, text);
        return 0;
    }

    EkvaPtr columns = ekva_new(10, 3);
    ekva_addval(columns, "Action", "10", EKVA_APPEND);
    ekva_addval(columns, "Package", "25", EKVA_APPEND);
    ekva_addval(columns, "Version", "10", EKVA_APPEND);
    if (with_sizes) {
        ekva_addval(columns, "Package size in kb", "10", EKVA_APPEND);
        ekva_addval(columns, "Installed size in kb", "10", EKVA_APPEND);
    }
    if (qpmui_write_table_new(ui, title, columns.get()) != 0) {
        qlog(LL_ERROR, "Error creating ui table");
        return -1;
    }
    int added = 0;
    for (const qpa_entry &entry : actions) {
        qlog(LL_DEBUG, "adding %d entry", ++added);
        EkvaPtr row = ekva_new(10, 3);
        ekva_addval(row, "Action", action_word(entry), EKVA_APPEND);
        ekva_addval(row, "Package", entry.name, EKVA_APPEND);
        ekva_addval(row, "Version", entry.qpi ? entry.qpi->version : std::string(), EKVA_APPEND);
        if (with_sizes) {
            const auto kilobytes = [](int64_t bytes) {
                return strprintf("%7lu", static_cast<unsigned long>(bytes < 0 ? 0 : bytes / 1024));
            };
            ekva_addval(row, "Package size in kb", kilobytes(entry.qpi ? entry.qpi->file_size : 0), EKVA_APPEND);
            ekva_addval(row, "Installed size in kb", kilobytes(entry.qpi ? entry.qpi->data_size : 0), EKVA_APPEND);
        }
        if (qpmui_write_table_add(ui, row.get()) != 0) {
            qlog(LL_ERROR, "Error adding entry to ui table");
            return -1;
        }
    }
    if (qpmui_write_table_end(ui) != 0) {
        qlog(LL_ERROR, "Error writing ui table");
        return -1;
    }
    return 0;
}

} // namespace qpm
