#pragma once
// Whole-file and line readers, the word reader for simple line-oriented
// files, descriptor reads, writes and copies, and file copies with an
// optional backup. New content is written to a file beside its target and
// renamed over it (SiblingFile), so the target always holds either the old or
// the complete new content.
#include "util/raii.h"
#include "util/strarr.h"

#include <cstdio>
#include <functional>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace qpm {

// Writes all of `data` to `fd`, resuming after short writes and signals;
// false with errno on failure.
bool write_all(int fd, std::string_view data);

// Reads `fd` from its offset to the end in pieces of at most `piece` bytes
// (up to 64 KiB) and hands each to `feed`. False when a read fails (errno
// set) or `feed` returns false. The one read loop of copies and digests.
bool read_pieces(int fd, size_t piece, const std::function<bool(const char *, size_t)> &feed);

// Appends everything readable from `fd` to `out`; false with errno when a
// read fails.
bool read_all(int fd, std::string &out);

// Copies everything readable from `in` to `out`: the byte count, or -1 with
// errno of the failing call. `read_failed`, when given, tells a failed read
// from a failed write.
long long copy_fd(int in, int out, bool *read_failed = nullptr);

// The next line of `file` into `line`, without its line feed; false at end
// of file. A last line without a line feed counts; a NUL byte is read as
// any other byte.
bool fgets_line(FILE *file, std::string &line);

// The next line of `file` as the line readers (fgets_words, fgetcsv) take
// it: nullopt at end of file and for a bare line feed; a carriage return
// before the line feed is removed too.
std::optional<std::string> fgets_text_line(FILE *file);

// A new file (or symbolic link) made under a fresh hidden name beside its
// target (".NAME.qpm-xxxxxx" in the target's directory), so that a rename
// puts it in place whole. Removed again unless committed; a crash leaves it,
// and is_sibling_name() tells such a leftover by its name.
// True for a name SiblingFile makes (".NAME.qpm-xxxxxx", x a lower-case
// letter or digit).
bool is_sibling_name(std::string_view name);

class SiblingFile {
public:
    SiblingFile() = default;
    SiblingFile(const SiblingFile &) = delete;
    SiblingFile &operator=(const SiblingFile &) = delete;
    ~SiblingFile();

    // A new regular file beside `target`, open for writing and close-on-exec;
    // `mode` goes to open(2), so the umask applies. False with errno (EEXIST
    // when no free name was found). A file made before is dropped.
    // With `dir`, `target` is taken relative to that directory (the *at()
    // calls), else to the working directory.
    bool create(const std::string &target, mode_t mode = 0666, int dir = AT_FDCWD);
    // A new symbolic link holding `text` beside `target`.
    bool create_link(const std::string &target, const std::string &text, int dir = AT_FDCWD);

    int fd() const { return m_fd.get(); }
    // The hidden name while the file is there; empty before and after.
    const std::string &path() const { return m_path; }
    // Closes the file and reports the result; -1 with errno.
    int close() { return m_fd.close(); }
    // Closes the file (when still open), then renames it over the target:
    // 0, or -1 with errno (the file is then still removed at destruction).
    int commit();

private:
    void drop();
    // Holds the file `made` (when there is one) as the one for `target`.
    bool adopt(std::optional<std::string> made, const std::string &target, int dir);

    UniqueFd m_fd;
    int m_dir = AT_FDCWD; // borrowed
    std::string m_path;
    std::string m_target;
};

// One entry of a directory: its name and its type as readdir(3) gives it
// (DT_REG, DT_DIR, ...; DT_UNKNOWN where the file system does not say).
struct DirName {
    std::string name;
    unsigned char type = DT_UNKNOWN;
};

struct DirNames {
    std::vector<DirName> entries; // readdir order, "." and ".." left out
    int read_error = 0;           // errno of a failing readdir: the list ends there
    int close_error = 0;          // errno of closedir
};

// The entries of the directory `path`, read whole (and the directory closed)
// before the caller acts on any of them. nullopt with errno when it cannot
// be opened.
std::optional<DirNames> list_directory(const std::string &path);

// Where a replace-by-rename stopped.
enum class CopyStep { none, create, read, write, chmod, sync, close, rename };

struct CopyError {
    CopyStep step = CopyStep::none;
    int errnum = 0;        // errno of that step
    int chmod_errnum = 0;  // errno of a failed mode change that did not stop the copy
    long long copied = -1; // bytes copied, once the copy itself is done
};

struct ReplaceOptions {
    int bits = -1;              // permission bits for the new file; < 0 keeps those it is created with
    mode_t create_mode = 0666;  // open(2) mode of the new file (the umask applies)
    bool bits_required = false; // a failed mode change stops the copy (else it is only noted)
    bool sync = false;          // fsync(2) the new file before it is renamed over
    int dir = AT_FDCWD;         // the directory `target` is relative to (borrowed)
};

// The one replace-by-rename: copies everything readable from `in` into a
// new file beside `target` (SiblingFile), gives it the options' bits,
// closes it and renames it over `target`. The byte count, or -1 with the
// failing step in `err`; `target` is then as it was and the new file gone.
// A symbolic link at `target` is replaced, not written through. Prints
// nothing.
long long copy_replace(int in, const std::string &target, const ReplaceOptions &options, CopyError &err);

// The whole file; nullopt when it cannot be opened or read whole. An empty
// file gives an empty buffer.
std::optional<std::string> _read_file(const std::string &path);

// Every line without its line feed (a last line without one included); empty
// for a missing or empty file.
StrArr read_file_lines(const std::string &path);

// The blank-separated words of the next line of `file`, cut at the first '#'.
// nullopt at end of file, for a bare line feed and for a line beginning
// with '#'. Leading or trailing blanks give an empty first or last word.
std::optional<StrArr> fgets_words(FILE *file);

// Copies `source` to `destination`: returns the number of bytes, or -1.
// `mode` 1 gives the copy the source's permission bits, above 1 is the bits
// themselves, 0 or less keeps those of the file being replaced (or the
// created default). A symbolic link at the destination is replaced, not
// written through. Prints nothing.
long long file_copy(const std::string &destination, const std::string &source, int mode);

// As file_copy, but an existing regular destination is first copied whole to
// `backup` (when not empty) and the steps are reported on standard error.
// A destination that is neither a regular file nor a symbolic link is
// refused. `mode` 0 or less gives the created default.
long long file_copy_back(const std::string &destination, const std::string &source,
                         const std::string &backup, int mode);

// The text after the last dot of `name` (a view into it); empty when there is
// no dot or the only dot is the first character.
std::string_view _get_filename_ext(std::string_view name);

} // namespace qpm
