#include "engine/actionlog.h"

#include "engine/inventory.h"
#include "package/qpk_info.h"
#include "record/ldif.h"
#include "ui/ftable.h"
#include "ui/ui.h"
#include "util/csv.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strarr.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

// Columns of the CSV form, in order; the first is the line number.
constexpr const char *CSV_COLUMNS[] = {
    "eqpkLogLine",          "eqpkLogDate",          "eqpkLogTime",           "eqpkLogAction",
    "eqpkLogPkgName",       "eqpkLogPkgVariant",    "eqpkLogPkgVersion",     "eqpkLogPkgArchitecture",
    "eqpkLogNewPkgVariant", "eqpkLogNewPkgVersion", "eqpkLogReason",         "eqpkLogDependent",
};

std::string now_stamp()
{
    const time_t now = std::time(nullptr);
    tm t {};
    localtime_r(&now, &t);
    return strprintf("%4d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                     t.tm_min, t.tm_sec);
}

// The value of an attribute for printing: "" when absent.
const char *value_or_empty(const Ekva *record, std::string_view key)
{
    const char *value = ekva_getval(record, key);
    return value ? value : "";
}

// The ui to list into: the process-wide one, or `local` made for this call.
QpmUi *listing_ui(QpmUiPtr &local)
{
    if (qpmui)
        return qpmui.get();
    local = qpmui_init(nullptr, 0);
    return local.get();
}

void ui_add(QpmUi *ui, const std::string &text) { qpmui_line_add(ui, text); }

// Adds the decoded parts of a unique name under `prefix` ("eqpkLogPkg" or
// "eqpkLogNewPkg"); the new package carries no architecture of its own.
void add_puname_parts(EkvaPtr &record, const Ekva *parts, const char *prefix, bool with_name,
                      bool with_arch)
{
    if (with_name)
        ekva_addval(record, strprintf("%sName", prefix), ekva_opt(ekva_getval(parts, "eqpkName")), 0);
    if (const char *variant = ekva_getval(parts, "eqpkVariant"))
        ekva_addval(record, strprintf("%sVariant", prefix), variant, 0);
    ekva_addval(record, strprintf("%sVersion", prefix), ekva_opt(ekva_getval(parts, "eqpkVersion")), 0);
    if (with_arch)
        ekva_addval(record, strprintf("%sArchitecture", prefix),
                    ekva_opt(ekva_getval(parts, "eqpkArchitecture")), 0);
}

void showlogline_text(QpmUi *ui, const Ekva *record)
{
    ui_add(ui, strprintf("Date          : %s\n", value_or_empty(record, "eqpkLogDate")));
    ui_add(ui, strprintf("Action        : %s\n", value_or_empty(record, "eqpkLogAction")));
    ui_add(ui, strprintf("Package       : %s\n", value_or_empty(record, "eqpkLogPkgName")));
    if (const char *variant = ekva_getval(record, "eqpkLogPkgVariant"))
        ui_add(ui, strprintf("Variant       : %s\n", variant));
    ui_add(ui, strprintf("Version       : %s\n", value_or_empty(record, "eqpkLogPkgVersion")));
    ui_add(ui, strprintf("Architecture  : %s\n", value_or_empty(record, "eqpkLogPkgArchitecture")));
    if (const char *variant = ekva_getval(record, "eqpkLogNewPkgVariant"))
        ui_add(ui, strprintf("New Variant   : %s\n", variant));
    if (const char *version = ekva_getval(record, "eqpkLogNewPkgVersion"))
        ui_add(ui, strprintf("New Version   : %s\n", version));
    // A line without reason word shows an empty reason.
    ui_add(ui, strprintf("Reason        : %s\n", value_or_empty(record, "eqpkLogReason")));
    if (const char *dependent = ekva_getval(record, "eqpkLogDependent"))
        ui_add(ui, strprintf("Dependent     : %s\n", dependent));
    ui_add(ui, "\n");
}

void showlogline_ldif(QpmUi *ui, std::string_view line_number, const Ekva *record)
{
    const std::string number(line_number);
    ui_add(ui, strprintf("dn: eqpkLogLine=%s,%s\n", number.c_str(), QPM_BASE_DN));
    std::string lines;
    ldif_write(lines, "eqpkLogLine", number, LDIF_TEXT);
    ldif_write(lines, "objectClass", "eqpkLog", LDIF_TEXT);
    ui_add(ui, lines);
    if (const auto body = ekva2ldif(record))
        ui_add(ui, *body);
    ui_add(ui, "\n");
}

void showlogline_csv(QpmUi *ui, std::string_view line_number, const Ekva *record)
{
    StrArr fields;
    fields.reserve(10);
    if (line_number.empty() && !record) {
        for (const char *column : CSV_COLUMNS)
            arr_t21_add(fields, column);
    } else {
        arr_t21_add(fields, line_number);
        for (size_t i = 1; i < std::size(CSV_COLUMNS); ++i)
            arr_t21_add(fields, value_or_empty(record, CSV_COLUMNS[i]));
    }
    qlog(LL_DEBUG, "qpm_showlogline: before arr2csv, num=%d\n", arr_count(fields));
    for (size_t i = 0; i < fields.size(); ++i)
        qlog(LL_DEBUG, "qpm_showlogline: csv_arr[%d]: <%s>\n", static_cast<int>(i), fields[i].c_str());
    const std::string csv_line = arr2csv(fields, ';', 0);
    qlog(LL_DEBUG, "qpm_showlogline: csv_line: <%s>\n", csv_line.c_str());
    if (csv_line.empty()) {
        qlog(LL_ERROR, "qpm_showlogline: csv_line is empty\n");
        return;
    }
    ui_add(ui, strprintf("%s\n", csv_line.c_str()));
}

int showlogline(QpmUi *ui, std::string_view line_number, const Ekva *record, int form)
{
    if (form == QPM_LOGFORM_CSV) {
        showlogline_csv(ui, line_number, record);
        return 0;
    }
    if (!record)
        return 0;
    if (form == QPM_LOGFORM_TEXT)
        showlogline_text(ui, record);
    else if (form == QPM_LOGFORM_LDIF)
        showlogline_ldif(ui, line_number, record);
    return 0;
}

} // namespace

std::string qpm_log_path(const qpm_handle *qpm)
{
    if (qpm && !qpm->root.empty())
        return strprintf("%s/%s", qpm->root.c_str(), syspath::action_log_name);
    return strprintf("%s/%s", root_path(syspath::inventory).c_str(), syspath::action_log_name);
}

std::optional<std::string> qpm_log_sentence(int action, OptText old_puname, OptText new_puname, OptText needing)
{
    const std::string stamp = now_stamp();
    if (!new_puname) {
        qlog(LL_ERROR, "qpm_log_action: No qpk_puname_new specified");
        return std::nullopt;
    }
    const std::string name(*new_puname);
    const std::string head = needing ? std::string(*needing) : std::string();
    switch (action) {
    case QPM_LOG_INSTALL:
        return needing ? strprintf("%s: installed %s as dependency of %s", stamp.c_str(), name.c_str(), head.c_str())
                       : strprintf("%s: installed %s as requested by user", stamp.c_str(), name.c_str());
    case QPM_LOG_UPDATE: {
        if (!old_puname) {
            qlog(LL_ERROR, "qpm_log_action: No qpk_puname_old specified");
            return std::nullopt;
        }
        const std::string old(*old_puname);
        return needing ? strprintf("%s: updated %s to %s as dependency of %s", stamp.c_str(), old.c_str(),
                                   name.c_str(), head.c_str())
                       : strprintf("%s: updated %s to %s as requested by user", stamp.c_str(), old.c_str(),
                                   name.c_str());
    }
    case QPM_LOG_DELETE:
        return needing ? strprintf("%s: deleted %s as dependency of %s", stamp.c_str(), name.c_str(), head.c_str())
                       : strprintf("%s: deleted %s as requested by user", stamp.c_str(), name.c_str());
    default:
        qlog(LL_ERROR, "qpm_log_action: invalid action specified");
        return std::nullopt;
    }
}

bool qpm_log_append(std::string sentence, const qpm_handle *qpm)
{
    const std::string path = qpm_log_path(qpm);
    FilePtr file = fopen_cloexec(path, "a");
    if (!file) {
        const int saved = errno;
        qlog(LL_ERROR, "qpm_log_action: failed to open %s for writing: %s", path.c_str(), std::strerror(saved));
        return false;
    }
    // One write per line: lines of two writers never interleave.
    sentence += '\n';
    const bool written = std::fwrite(sentence.data(), 1, sentence.size(), file.get()) == sentence.size();
    const bool flushed = std::fflush(file.get()) == 0;
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !flushed || !closed) {
        const int saved = errno;
        qlog(LL_ERROR, "qpm_log_action: failed to open %s for writing: %s", path.c_str(), std::strerror(saved));
        return false;
    }
    return true;
}

bool qpm_log_has(std::string_view sentence, const qpm_handle *qpm)
{
    // A line appended by a run that was stopped right after is among the
    // last ones; the tail is enough.
    constexpr off_t TAIL = 64 * 1024;
    UniqueFd fd(::open(qpm_log_path(qpm).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return false;
    const off_t from = st.st_size > TAIL ? st.st_size - TAIL : 0;
    std::string tail(static_cast<size_t>(st.st_size - from), '\0');
    const ssize_t got = ::pread(fd.get(), tail.data(), tail.size(), from);
    if (got < 0)
        return false;
    tail.resize(static_cast<size_t>(got));
    const std::string line = std::string(sentence) + '\n';
    for (size_t at = tail.find(line); at != std::string::npos; at = tail.find(line, at + 1)) {
        if (at == 0 ? from == 0 : tail[at - 1] == '\n')
            return true;
    }
    return false;
}

void qpm_log_action(int action, OptText old_puname, OptText new_puname, OptText needing,
                    const qpm_handle *qpm)
{
    if (std::optional<std::string> sentence = qpm_log_sentence(action, old_puname, new_puname, needing))
        qpm_log_append(std::move(*sentence), qpm);
}

EkvaPtr qpm_parse_log(std::string_view line)
{
    const std::string text(line);
    const StrArr words = str2arr(line, ' ');
    if (words.empty()) {
        qlog(LL_ERROR, "qpm_parse_log: failure parsing line <%s>", text.c_str());
        return nullptr;
    }
    const int count = arr_count(words);
    qlog(LL_DEBUG, "qpm_parse_log: line <%s> has %d parts", text.c_str(), count);
    if (count < 8) {
        qlog(LL_WARNING, "qpm_parse_log: line <%s> has only %d parts skipping", text.c_str(), count);
        return nullptr;
    }
    const char verb = words[2][0];
    if (verb != 'u' && verb != 'i' && verb != 'd') {
        qlog(LL_ERROR, "qpm_parse_log: invalid action: %c", verb);
        return nullptr;
    }

    std::string date = strprintf("%s %s", words[0].c_str(), words[1].c_str());
    if (date.size() != 20) {
        qlog(LL_ERROR, "qpm_parse_log: invalid date: %s", date.c_str());
        return nullptr;
    }
    date.pop_back(); // the ':' after the time
    const time_t now = std::time(nullptr);
    tm t {};
    localtime_r(&now, &t);
    int year = 0;
    int month = t.tm_mon + 1; // fields that cannot be read keep the values of now
    if (std::sscanf(date.c_str(), "%04d-%02d-%02d %02d:%02d:%02d", &year, &month, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec) < 1) {
        qlog(LL_ERROR, "qpm_parse_log: falure parsing date: %s", date.c_str());
        return nullptr;
    }
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    // The line was written in its own season: mktime works out whether
    // daylight saving applied then, not whether it applies now.
    t.tm_isdst = -1;
    const long seconds = static_cast<long>(mktime(&t));
    qlog(LL_DEBUG, "qpm_parse_log: %s is %ld", date.c_str(), seconds);

    EkvaPtr record = ekva_new(30, 4);
    ekva_addval(record, "eqpkLogDate", date, 0);
    ekva_addval(record, "eqpkLogTime", strprintf("%ld", seconds), 0);

    // Word positions of the reason and the needing package.
    size_t reason_at = 5;
    if (verb == 'u') {
        ekva_addval(record, "eqpkLogAction", "update", 0);
        ekva_addval(record, "eqpkLogPkgUid", words[3], 0);
        EkvaPtr old_parts = qpk_puname_decode(words[3].c_str());
        if (!old_parts) {
            qlog(LL_DEBUG, "qpm_parse_log: error parsing PkgUid <%s>", words[3].c_str());
            return nullptr;
        }
        EkvaPtr new_parts = qpk_puname_decode(words[5].c_str());
        if (!new_parts) {
            qlog(LL_DEBUG, "qpm_parse_log: error parsing PkgUid <%s>", words[5].c_str());
            return nullptr;
        }
        add_puname_parts(record, old_parts.get(), "eqpkLogPkg", true, true);
        ekva_addval(record, "eqpkLogNewPkgUid", words[5], 0);
        add_puname_parts(record, new_parts.get(), "eqpkLogNewPkg", false, false);
        reason_at = 7;
    } else {
        ekva_addval(record, "eqpkLogAction", verb == 'i' ? "install" : "remove", 0);
        ekva_addval(record, "eqpkLogPkgUid", words[3], 0);
        EkvaPtr parts = qpk_puname_decode(words[3].c_str());
        if (!parts) {
            qlog(LL_DEBUG, "qpm_parse_log: error parsing PkgUid <%s>", words[3].c_str());
            return nullptr;
        }
        if (verb == 'i')
            qlog(LL_DEBUG, "qpm_parse_log: adding eqpkLogPkgName: <%s>", value_or_empty(parts.get(), "eqpkName"));
        add_puname_parts(record, parts.get(), "eqpkLogPkg", true, true);
    }

    // A short update line may lack its reason or needing-package word: the
    // record then simply goes without them.
    if (reason_at < words.size()) {
        const char reason = words[reason_at][0];
        if (reason == 'r') {
            ekva_addval(record, "eqpkLogReason", "user", 0);
        } else if (reason == 'd') {
            ekva_addval(record, "eqpkLogReason", "dependency", 0);
            if (reason_at + 2 < words.size())
                ekva_addval(record, "eqpkLogDependent", words[reason_at + 2], 0);
        }
    }
    return record;
}

int qpm_showlogline(std::string_view line_number, const Ekva *record, int form)
{
    if (!qpmui)
        return 0;
    return showlogline(qpmui.get(), line_number, record, form);
}

int qpm_showlog(const qpm_handle *qpm, int form, int order)
{
    // Only the real root may point the listing at another file: for anyone
    // else a program that reads the log must not become a reader of any
    // file its owner can read.
    const char *debug_file = getuid() == 0 ? std::getenv(QPM_SHOWLOG_DEBUG_LOGFILE) : nullptr;
    const std::string path = debug_file && *debug_file ? std::string(debug_file) : qpm_log_path(qpm);
    qlog(LL_INFO, "log file <%s>\n", path.c_str());

    const StrArr lines = read_file_lines(path);
    const int count = arr_count(lines);
    if (count <= 0) {
        qlog(LL_ERROR, "failure reading log file <%s>\n", path.c_str());
        return count;
    }

    QpmUiPtr local;
    QpmUi *ui = listing_ui(local);
    if (!ui)
        return count;
    // The listing stands alone: nothing left over from an earlier message.
    qpmui_line_new(ui, "");

    const auto index_at = [&](int step) { return order == 1 ? step : count - 1 - step; };
    if (form == QPM_LOGFORM_RAW) {
        for (int step = 0; step < count; ++step)
            ui_add(ui, strprintf("%s\n", lines[static_cast<size_t>(index_at(step))].c_str()));
        qpmui_write(ui, ui->text);
        return count;
    }
    if (form == QPM_LOGFORM_CSV)
        showlogline(ui, "", nullptr, form);
    for (int step = 0; step < count; ++step) {
        const int index = index_at(step);
        const std::string &line = lines[static_cast<size_t>(index)];
        EkvaPtr record = qpm_parse_log(line);
        if (!record) {
            qlog(LL_ERROR, "skipping invalid line %d: <%s>\n", index + 1, line.c_str());
            continue;
        }
        if (form == QPM_LOGFORM_TEXT || form == QPM_LOGFORM_LDIF || form == QPM_LOGFORM_CSV)
            showlogline(ui, strprintf("%d", index + 1), record.get(), form);
    }
    qpmui_write(ui, ui->text);
    return count;
}

} // namespace qpm
