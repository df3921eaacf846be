#include "util/lgrep.h"
