#include "util/files.h"
