#include "util/globals.h"

namespace qpm {

int verbose = -1;
int vote_mode = 3;
int dry_run = 0;
int textmax = 256;
int have_so = 0;

} // namespace qpm
