#pragma once
// Configuration files: key=value lines (util/kv.h syntax) read into ekva
// records, typed questions about single keys through value maps, in-place
// rewriting of chosen keys, and the per-user ~/.qpmrc.
// Every message of this module goes to standard error: it runs before the log.
#include "record/ekva.h"

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace qpm {

// Includes nested deeper than this are not followed (a file including
// itself would otherwise never end).
constexpr int LCONF_INCLUDE_MAX_DEPTH = 16;

// The answers of yes/no questions.
constexpr const char *LCONF_BOOL_MAP = "true=1,false=0,yes=1,no=0,1=1,0=0";

// One entry of a value map; number -1 means "no value".
struct ValNum {
    std::string name;
    int number = 0;
};

// An empty map plays the part of "no map".
using ValNumList = std::vector<ValNum>;

// Reads `path` into `record` (made with ekva_new(1024, mode) when null) and
// returns it. A null, missing or empty file returns `record` as given.
EkvaPtr lconf_read_ext(EkvaPtr record, const char *path, int mode);
// Last occurrence of a key wins.
EkvaPtr lconf_read(EkvaPtr record, const char *path);
// Every occurrence of a key is kept, in file order.
EkvaPtr lconf_read_dups(EkvaPtr record, const char *path);

// Builds a map from "name=number,name=number,..."; empty when no item.
ValNumList lconf_gen_vnlist(std::string_view map_text);
// Number of the first entry named exactly `name`; -1 when none (or null name).
int lconf_getvalnum(const ValNumList &map, const char *name);
// Name of the first entry numbered `number`, borrowed from the map; null when none.
const char *lconf_getnumval(const ValNumList &map, int number);
inline void lconf_valnum_free(ValNum &entry) { entry = {}; }
inline void lconf_valnum_list_free(ValNumList &map) { map.clear(); }

// A valid preset (a number of the map other than -1) wins over the record;
// an absent key, an unknown word or a word mapped to -1 yields `def`.
int lconf_get_optval(std::string_view key, std::string_view map_text, const Ekva *record, int def,
                     int preset);
int lconf_get_optval_vl(std::string_view key, const ValNumList &map, const Ekva *record, int def,
                        int preset);
int lconf_get_bool(std::string_view key, const Ekva *record, int def, int preset);

// Rewrites the keys of `path` that `record` holds; other lines stay as they
// are. The new text is made beside the file and renamed over it, so the path
// always names a whole file; with `keep_previous` the old one remains as
// path.prev. 0 on success, -1 on failure (the old file untouched).
int lconf_replace(const char *path, const Ekva *record, int keep_previous);

// The invoking user's ~/.qpmrc; null when there is none.
EkvaPtr qpm_read_rc();
// The user whose .qpmrc counts: the one SUDO_UID names (a decimal number)
// when the real user is root, otherwise the real user.
uid_t qpm_rc_uid();
// Reads a per-user file (last occurrence wins) with the real user's rights,
// following only regular files, includes too.
EkvaPtr qpm_read_rc_file(const std::string &path);
// Copies each key of the comma-separated `key_list` that `source` holds into
// `options` (made when null) unless `options` has it already; returns how
// many keys `source` held.
int qpm_merge_opts(EkvaPtr &options, const Ekva *source, std::string_view key_list);

} // namespace qpm
