#include "util/ldef.h"
