#include "util/cmd.h"
