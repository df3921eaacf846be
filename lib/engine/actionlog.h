#pragma once
// The action log: one English sentence per package installed, updated or
// deleted, appended to install.log in the inventory after the change was
// committed. It is read back into records (attributes eqpkLog...) and listed
// through the terminal interface as text, LDIF, CSV or raw lines.
#include "record/ekva.h"

#include <optional>
#include <string>
#include <string_view>

namespace qpm {

struct qpm_handle;

// Actions of qpm_log_action.
constexpr int QPM_LOG_INSTALL = 1;
constexpr int QPM_LOG_UPDATE = 2;
constexpr int QPM_LOG_DELETE = 3;

// Output forms of the listing (the "outform" codes, plus raw lines).
constexpr int QPM_LOGFORM_TEXT = 1;
constexpr int QPM_LOGFORM_LDIF = 2;
constexpr int QPM_LOGFORM_CSV = 4;
constexpr int QPM_LOGFORM_RAW = 7;

// Names the file that qpm_showlog reads instead of the inventory's log.
constexpr const char *QPM_SHOWLOG_DEBUG_LOGFILE = "QPM_SHOWLOG_DEBUG_LOGFILE";

// The log of the inventory: "install.log" in the handle's root, or, without
// a handle, /var/lib/qpm/install.log under the system root.
std::string qpm_log_path(const qpm_handle *qpm = nullptr);

// Appends the sentence for one committed change. `old_puname` only for an
// update; `needing` names the package that required this one (nullopt: the
// user asked for it). Failures are logged and cost only the line.
void qpm_log_action(int action, OptText old_puname, OptText new_puname, OptText needing,
                    const qpm_handle *qpm = nullptr);

// The sentence of one change as qpm_log_action writes it, time stamp first,
// without its line feed; nullopt (after the designed message) for an
// unknown action or a missing name.
std::optional<std::string> qpm_log_sentence(int action, OptText old_puname, OptText new_puname, OptText needing);

// Appends `sentence` as one line. False (after a message) when it could not
// be written.
bool qpm_log_append(std::string sentence, const qpm_handle *qpm = nullptr);

// True when `sentence` stands as a whole line among the last 64 KiB of the
// log: the line of a run that was stopped before it counted it done.
bool qpm_log_has(std::string_view sentence, const qpm_handle *qpm = nullptr);

// One log line as a new record (capacity 30, kind 4); null for a line that
// is not one of the six sentences.
EkvaPtr qpm_parse_log(std::string_view line);

// Lists the whole log (QPM_SHOWLOG_DEBUG_LOGFILE when set and the real user
// is root, else the log of the handle) in `form`; `order` 1 oldest first, any other newest first.
// Returns the number of lines of the file, 0 when it is empty or unreadable.
int qpm_showlog(const qpm_handle *qpm, int form, int order);

// Adds one record's output to the interface text. With form 4, an empty
// line number and a null record add the CSV header row. Returns 0.
int qpm_showlogline(std::string_view line_number, const Ekva *record, int form);

} // namespace qpm
