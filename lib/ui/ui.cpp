#include "ui/ui.h"

#include "util/globals.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdlib>
#include <new>
#include <vector>

namespace qpm {

QpmUiPtr qpmui;

namespace {

// Longest choice answer and own value read at once, as the answer buffers
// of 32 and 1024 bytes hold them.
constexpr size_t ANSWER_MAX = 31;
constexpr size_t OWN_VALUE_MAX = 1023;
constexpr size_t DEFAULT_MAX = 32;
constexpr int DEFAULT_WIDTH = 20;

const std::string no_text;

struct Streams {
    FILE *in;
    FILE *out;
    FILE *err;
};

Streams streams_of(const QpmUi *ui)
{
    if (!ui)
        ui = qpmui.get();
    if (ui)
        return {ui->in, ui->out, ui->err};
    return {stdin, stdout, stderr};
}

const char *text_or_empty(const std::optional<std::string> &value) { return value ? value->c_str() : ""; }

// One answer line, read as a bounded fgets would read it, without its line
// feed. A line longer than `max` keeps `max - 1` characters (the last one read
// stands where the line feed would) and the rest of the line is dropped, so
// one typed line is always one answer. Nothing read at end of input gives "".
std::string read_answer(FILE *in, size_t max)
{
    std::string line;
    int c = 0;
    while (line.size() < max && (c = std::fgetc(in)) != EOF && c != '\n')
        line += static_cast<char>(c);
    if (line.size() == max) {
        line.pop_back();
        while ((c = std::fgetc(in)) != EOF && c != '\n') {
        }
    }
    return line;
}

bool input_ended(FILE *in) { return std::feof(in) || std::ferror(in); }

std::vector<int> parse_widths(std::string_view list)
{
    std::vector<int> widths;
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view piece = list.substr(0, comma);
        int width = 0;
        std::from_chars(piece.data(), piece.data() + piece.size(), width);
        widths.push_back(width);
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return widths;
}

int column_width(const std::optional<std::string> &value)
{
    if (!value)
        return DEFAULT_WIDTH;
    const char *begin = value->c_str();
    const char *end = begin + value->size();
    while (begin < end && (*begin == ' ' || *begin == '\t'))
        ++begin;
    if (begin < end && *begin == '+')
        ++begin;
    int width = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, width);
    if (ec != std::errc() || ptr == begin)
        return DEFAULT_WIDTH;
    return width;
}

void set_capacity(QpmUi *ui, int64_t capacity)
{
    capacity = std::min<int64_t>(capacity, INT32_MAX);
    ui->capacity = static_cast<int32_t>(capacity);
    ui->size = ui->capacity;
    ui->text.reserve(static_cast<size_t>(ui->capacity));
}

// The callers' bounded print: at most size - 1 characters.
__attribute__((format(printf, 3, 0)))
void bounded_vprintf(const QpmUi *ui, std::string &target, const char *fmt, va_list args)
{
    target = vstrprintf(fmt, args);
    const size_t room = ui->size > 0 ? static_cast<size_t>(ui->size) - 1 : 0;
    if (target.size() > room)
        target.resize(room);
}

} // namespace

QpmUiPtr qpmui_init(const char *title, int level)
{
    QpmUiPtr ui;
    if (textmax > 0) {
        try {
            ui = std::make_unique<QpmUi>();
            ui->level = level;
            if (title)
                ui->title = title;
            set_capacity(ui.get(), textmax);
        } catch (const std::bad_alloc &) {
            ui.reset();
        }
    }
    if (!ui) {
        std::fputs("Failed to initiallize ui\n", stderr);
        std::fflush(stderr);
    }
    return ui;
}

void qpmui_level(QpmUi *ui, int level)
{
    if (ui)
        ui->level = level;
}

int qpmui_write(QpmUi *ui, std::string_view text)
{
    const Streams s = streams_of(ui);
    std::fflush(s.out);
    std::fwrite(text.data(), 1, text.size(), s.out);
    std::fflush(s.out);
    std::fflush(s.err);
    return 0;
}

int qpmui_write_info(QpmUi *ui, std::string_view text, int /*kind*/) { return qpmui_write(ui, text); }

const std::string &qpmui_line_new(QpmUi *ui, std::string_view text)
{
    if (!ui)
        return no_text;
    std::string copy(text); // `text` may view the buffer itself
    const int64_t length = static_cast<int64_t>(copy.size());
    if (length + 2 >= ui->capacity) {
        set_capacity(ui, 2 * (length + 2));
        qlog(LL_DEBUG, "qpmui_line_new: reallocating textbuf to size %d", ui->capacity);
    }
    qlog(LL_DEBUG, "qpmui_line_new: setting buffer to text of size %ld", static_cast<long>(length));
    if (copy.size() >= static_cast<size_t>(ui->capacity))
        copy.resize(static_cast<size_t>(ui->capacity) - 1);
    ui->text = std::move(copy);
    return ui->text;
}

const std::string &qpmui_line_add(QpmUi *ui, std::string_view text)
{
    if (!ui)
        return no_text;
    std::string copy(text); // `text` may view the buffer itself
    qlog(LL_DEBUG, "qpmui_line_add: <%s>", copy.c_str());
    const int64_t needed = static_cast<int64_t>(copy.size() + ui->text.size()) + 2;
    while (ui->capacity <= needed && ui->capacity < INT32_MAX) {
        set_capacity(ui, std::max<int64_t>(int64_t{ui->capacity} * 2, 1));
        qlog(LL_DEBUG, "qpmui_line_add: reallocating textbuf to size %d", ui->capacity);
    }
    qlog(LL_DEBUG, "qpmui_line_add: adding text of size %ld, truncated to %d to buffer of size %d",
         static_cast<long>(copy.size()), ui->capacity - 1, ui->capacity);
    // After growing this only bites at the int32 limit: the buffer never
    // holds more than capacity - 1 characters.
    const size_t room = static_cast<size_t>(ui->capacity) - 1;
    const size_t take = room > ui->text.size() ? std::min(copy.size(), room - ui->text.size()) : 0;
    ui->text.append(copy, 0, take);
    return ui->text;
}

const std::string &qpmui_text_printf(QpmUi *ui, const char *fmt, ...)
{
    if (!ui)
        return no_text;
    va_list args;
    va_start(args, fmt);
    bounded_vprintf(ui, ui->text, fmt, args);
    va_end(args);
    return ui->text;
}

const std::string &qpmui_scratch_printf(QpmUi *ui, const char *fmt, ...)
{
    if (!ui)
        return no_text;
    va_list args;
    va_start(args, fmt);
    bounded_vprintf(ui, ui->scratch, fmt, args);
    va_end(args);
    return ui->scratch;
}

int qpmui_write_table_new(QpmUi *ui, const char *title, const Ekva *columns)
{
    if (!ui)
        return -1;
    FILE *out = ui->out;
    std::fprintf(out, "%s\n\n", title ? title : "");
    std::vector<int> widths;
    if (columns) {
        for (const auto &column : columns->entries()) {
            widths.push_back(column_width(column.value));
            std::fprintf(out, "%-*s ", widths.back(), column.key.c_str());
        }
    }
    if (!widths.empty()) {
        std::fputs("\n", out);
        for (const int width : widths)
            std::fprintf(out, "%-*s ", width, "----");
    }
    std::fputs("\n", out);
    std::fflush(out);

    std::string joined;
    for (const int width : widths) {
        if (!joined.empty())
            joined += ',';
        joined += std::to_string(width);
    }
    ui->table_widths = std::move(joined);
    return 0;
}

int qpmui_write_table_add(QpmUi *ui, const Ekva *row)
{
    const Streams s = streams_of(ui);
    if (!ui || !ui->table_widths) {
        std::fputs("Oops, we cant find the data\n", s.err);
        return -1;
    }
    const std::vector<int> widths = parse_widths(*ui->table_widths);
    const int count = ekva_nument(row);
    if (static_cast<size_t>(count) != widths.size()) {
        std::fprintf(s.err, "Oops, %s does not expand to %d elements\n", ui->table_widths->c_str(), count);
        ui->table_widths.reset();
        return -1;
    }
    for (size_t i = 0; i < widths.size(); ++i) {
        const auto &cell = row->entries()[i].value;
        std::fprintf(s.out, "%-*s ", widths[i], cell ? cell->c_str() : " ");
    }
    std::fputs("\n", s.out);
    std::fflush(s.out);
    return 0;
}

int qpmui_write_table_end(QpmUi *ui)
{
    const Streams s = streams_of(ui);
    std::fputs("\n", s.out);
    std::fflush(s.out);
    if (ui)
        ui->table_widths.reset();
    return 0;
}

int qpmui_write_form(const char *title, const Ekva *entries)
{
    FILE *out = streams_of(nullptr).out;
    if (title)
        std::fprintf(out, "%s\n", title);
    if (entries) {
        const auto &list = entries->entries();
        for (size_t i = 0; i < list.size(); ++i) {
            const EkvaEntry &entry = list[i];
            const char *value = text_or_empty(entry.value);
            if (i > 0 && list[i - 1].key == entry.key)
                std::fprintf(out, "%-25s  - %s\n", " ", value);
            else if (i + 1 < list.size() && list[i + 1].key == entry.key)
                std::fprintf(out, "%-25s: - %s\n", entry.key.c_str(), value);
            else
                std::fprintf(out, "%-25s: %s\n", entry.key.c_str(), value);
        }
    }
    std::fflush(out);
    return 0;
}

long qpmui_write_file(const std::string &path)
{
    FilePtr in = fopen_cloexec(path, "r");
    if (!in)
        return -1;
    FILE *out = streams_of(nullptr).out;
    std::fflush(out);
    long total = 0;
    char block[1024];
    size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, in.get())) > 0)
        total += static_cast<long>(std::fwrite(block, 1, got, out));
    std::fflush(out);
    return total;
}

const char *qpmui_select(QpmUi *ui, const char *question, Ekva *choices, const char *def, int allow_own)
{
    if (vote_mode == 3)
        return def;
    // Nothing could ever be chosen: do not ask forever.
    if (!choices || choices->entries().empty())
        return nullptr;
    const Streams s = streams_of(ui);
    auto &entries = choices->entries();

    for (;;) {
        std::fprintf(s.err, "\n%s\n\n", question ? question : "");
        std::fflush(s.err);
        for (const auto &entry : entries)
            std::fprintf(s.err, "%s: %s\n", entry.key.c_str(), text_or_empty(entry.value));
        if (def)
            std::fprintf(s.err, "\nChoice [%s]: ", def);
        else
            std::fputs("\nChoice: ", s.err);
        std::fflush(s.err);

        std::string answer = read_answer(s.in, ANSWER_MAX);
        std::fprintf(s.err, "\n<%s> chosen\n", answer.c_str());

        // Every "ask again" below gives up once the input has ended: there is
        // nobody left to answer, and asking forever would hang the run.
        if (answer.empty() && def)
            answer = std::string(def).substr(0, DEFAULT_MAX);
        if (answer.empty()) {
            std::fputs("You must choose a value\n", s.err);
            if (input_ended(s.in))
                return nullptr;
            continue;
        }
        const auto same_ignoring_case = [&](const EkvaEntry &entry) { return equals_nocase(entry.key, answer); };
        if (std::none_of(entries.begin(), entries.end(), same_ignoring_case)) {
            std::fprintf(s.err, "invalid choice: %s\n", answer.c_str());
            if (input_ended(s.in))
                return nullptr;
            continue;
        }

        const char *result = nullptr;
        for (const auto &entry : entries) {
            if (entry.key == answer) {
                std::fprintf(s.err, "<%s> chosen per default\n", entry.key.c_str());
                result = entry.key.c_str();
            }
        }

        if (allow_own && equals_nocase(entries.back().key, answer)) {
            std::fputs("\nEnter your own value: ", s.err);
            std::fflush(s.err);
            std::string own = read_answer(s.in, OWN_VALUE_MAX);
            std::fputs("\n", s.err);
            if (own.empty()) {
                if (input_ended(s.in))
                    return nullptr;
                continue;
            }
            entries.back().value = std::move(own);
        }

        if (result)
            return result;
        if (input_ended(s.in))
            return nullptr;
    }
}

int qpmui_yesno(QpmUi *ui, const char *question, int def)
{
    if (vote_mode == 3)
        return def;
    const Streams s = streams_of(ui);
    const char *text = question ? question : "";
    if (def < 0)
        std::fprintf(s.err, "%s [y/n] ? ", text);
    else if (vote_mode == 2)
        return def;
    else if (def == 1)
        std::fprintf(s.err, "%s [Y/n] ? ", text);
    else
        std::fprintf(s.err, "%s [y/N] ? ", text);
    std::fflush(s.err);

    const int c = std::fgetc(s.in);
    if (c == '\n')
        return def;
    for (int rest = c; rest != EOF && rest != '\n';)
        rest = std::fgetc(s.in);
    std::fputs("\n", s.err);
    std::fflush(s.err);
    return c == 'y' || c == 'Y' ? 1 : 0;
}

void qpmui_clear_input()
{
    FILE *in = streams_of(nullptr).in;
    int c = 0;
    while ((c = std::fgetc(in)) != EOF && c != '\n') {
    }
}

int qpmui_menu_head()
{
    static constexpr char stars[] =
        "*******************************************************************************";
    static constexpr char banner[] =
        "**                     E Q P M - M E N U                                     **";
    static_assert(sizeof stars == 80 && sizeof banner == 80);

    FILE *out = streams_of(nullptr).out;
    std::fflush(out);
    std::fflush(stdout);
    // A fixed command, no user data: the shell only finds "clear".
    const int status = std::system("clear");
    if (status != 0)
        return status;
    std::fprintf(out, "%s\n%s\n%s\n", stars, banner, stars);
    std::fflush(out);
    return 0;
}

} // namespace qpm
