#include "util/lconf.h"
