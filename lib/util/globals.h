#pragma once
// Process-wide settings shared by the front ends and the engine. They exist
// once, in the core library. The log handle lives in util/log.h, the
// interface record in ui/, the catalogue cache and backend pointers in engine/.

namespace qpm {

extern int verbose;   // -1 until a front end decides
extern int vote_mode; // interaction mode: 3 take defaults, 2 ask some, 1 ask all
extern int dry_run;
extern int textmax;   // interface text buffer size
extern int have_so;   // a verified file is a shared library: run ldconfig

} // namespace qpm
