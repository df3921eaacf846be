#pragma once
// Writes the entries of a package payload below one directory (the stage of
// a package) while they are read. Only regular files, directories and
// symbolic links are made; an entry path that is absolute or holds ".." is
// refused, and nothing is written through a symbolic link: every directory
// on the way is opened relative to its parent without following links. The
// SHA-1 of every regular file is taken from the bytes as they are written,
// so the tree need not be read back to be verified.
#include "util/raii.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct archive_entry;

namespace qpm {

class Sha1Stream;

// A file or link written into the stage, by its path below the stage
// directory ("data/usr/bin/x"), in archive order (a path written twice keeps
// its first place). `digest` is the SHA-1 (hex) of a regular file's
// content; empty where it must be read from the disk: a symbolic link (its
// target's content counts), a hard link and its target, a file whose data
// did not arrive in order.
struct UnpackedFile {
    std::string path;
    std::string digest;
};
using UnpackedFiles = std::vector<UnpackedFile>;

class StageWriter {
public:
    // Writes below the open directory `directory`.
    explicit StageWriter(UniqueFd directory);
    StageWriter(const StageWriter &) = delete;
    StageWriter &operator=(const StageWriter &) = delete;
    ~StageWriter();

    // Makes the entry's directory, link or (empty) file. False when the
    // entry is refused or cannot be made (error() says why); its data is
    // then to be skipped.
    bool begin(archive_entry *entry);
    // A block of the current file's data at `offset`.
    bool write(const void *data, size_t size, int64_t offset);
    // Ends the current entry: the file is closed with its mode and time.
    bool finish();
    // Sets the modes and times of the directories the payload named, last
    // (a directory without write permission can still be filled first).
    bool close();
    // Removes everything this writer made, newest first.
    void remove_all();

    const UnpackedFiles &files() const { return m_files; }
    // The reason of the last failure, worded like "Write failed: No space
    // left on device".
    const std::string &error() const { return m_error; }

private:
    struct OpenDir {
        std::string name;
        UniqueFd fd;
    };
    struct DirFixup {
        std::string path;
        mode_t mode;
        int64_t mtime;
    };

    bool fail(std::string text, int err = 0);
    UniqueFd enter(int up, const std::vector<std::string_view> &parts, size_t i);
    UniqueFd walk(const std::vector<std::string_view> &parts, size_t count);
    int parent_of(const std::vector<std::string_view> &parts);
    bool make_room(int parent, const std::string &leaf, const std::string &path);
    bool begin_file(archive_entry *entry, int parent, const std::string &leaf, const std::string &path);
    bool begin_hardlink(archive_entry *entry, int parent, const std::string &leaf, const std::string &path);
    void record(const std::string &path, std::string digest);
    void forget_digest(const std::string &path);
    mode_t kept_mode(archive_entry *entry) const;

    UniqueFd m_root;
    mode_t m_umask;
    std::vector<OpenDir> m_chain; // the directories of the last entry's path, outermost first
    UnpackedFiles m_files;
    std::unordered_map<std::string, size_t> m_index; // path -> position in m_files
    std::vector<std::string> m_made;                 // paths made, oldest first; directories end in '/'
    std::vector<DirFixup> m_fixups;
    std::string m_error;

    // The file being written.
    UniqueFd m_file;
    std::string m_file_path;
    mode_t m_file_mode = 0;
    int64_t m_file_mtime = 0;
    int64_t m_file_pos = 0;
    bool m_file_in_order = true;
    std::unique_ptr<Sha1Stream> m_sha;
};

} // namespace qpm
