#include "package/sha1.h"
