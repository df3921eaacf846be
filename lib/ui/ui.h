#pragma once
// The terminal interface: the one place that talks to a person. Information,
// tables and forms go to standard output; questions go to standard error and
// are answered on standard input. The global `vote_mode` (util/globals.h)
// decides whether questions are asked at all (3: never, 2: only without a
// default, 1: always).
#include "record/ekva.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qpm {

struct QpmUi {
    int32_t level = 0;
    std::string description = "standard qpm command line interface";
    std::string title = "qpm";
    // A piece formatted by a report writer before it goes to the text buffer.
    std::string scratch;
    // The text buffer; `size` is what callers may fill (see qpmui_text_printf)
    // and grows as qpmui_line_new / qpmui_line_add need.
    std::string text;
    int32_t size = 0;
    int32_t capacity = 0; // always equal to size
    // Widths of the open table, comma-joined; nullopt when no table is open.
    std::optional<std::string> table_widths;
    // Streams, not owned; tests point them at pipes.
    FILE *in = stdin;
    FILE *out = stdout;
    FILE *err = stderr;
};

using QpmUiPtr = std::unique_ptr<QpmUi>;

// The process-wide interface record; null until a front end creates it.
// Functions without an interface argument use its streams when it exists.
extern QpmUiPtr qpmui;

// A null `title` gives "qpm". Null after "Failed to initiallize ui\n" on stderr.
QpmUiPtr qpmui_init(const char *title, int level);
void qpmui_level(QpmUi *ui, int level);

// Write `text` to standard output, flushing around it; return 0. `kind` does
// not change the output.
int qpmui_write(QpmUi *ui, std::string_view text);
int qpmui_write_info(QpmUi *ui, std::string_view text, int kind);

// Replace / extend the text buffer (growing it as needed); return the buffer.
const std::string &qpmui_line_new(QpmUi *ui, std::string_view text);
const std::string &qpmui_line_add(QpmUi *ui, std::string_view text);

// The bounded prints of the callers: format into the text buffer (replacing
// it) or into `scratch`, cut to the buffer's usable size minus one.
const std::string &qpmui_text_printf(QpmUi *ui, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
const std::string &qpmui_scratch_printf(QpmUi *ui, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Column tables: key = column title, value = width; a row's values are its
// cells. Each returns 0, or -1 (with an "Oops" message) for a row that does
// not fit the open table.
int qpmui_write_table_new(QpmUi *ui, const char *title, const Ekva *columns);
int qpmui_write_table_add(QpmUi *ui, const Ekva *row);
int qpmui_write_table_end(QpmUi *ui);

// Key/value form; consecutive entries of one key print as a list.
int qpmui_write_form(const char *title, const Ekva *entries);

// Copy a file to standard output; bytes written, or -1 when it cannot be opened.
long qpmui_write_file(const std::string &path);

// Ask for one of the keys of `choices`. Returns a pointer to the chosen key
// inside `choices`, or `def` itself when questions are not asked. Null means
// no answer (no default in mode 3, or input ended without a usable answer):
// callers abort. With `allow_own`, the last entry asks for a text of the
// user's own, stored as that entry's value.
const char *qpmui_select(QpmUi *ui, const char *question, Ekva *choices, const char *def, int allow_own);

// 1 yes, 0 no (also at end of input), or `def` when not asked or answered by
// Enter. A negative `def` is a question without default.
int qpmui_yesno(QpmUi *ui, const char *question, int def);

// Discard standard input up to and including the next line feed.
void qpmui_clear_input();

// Clear the screen and print the menu banner; the non-zero status of the
// clear command when it failed (nothing printed), else 0.
int qpmui_menu_head();

} // namespace qpm
