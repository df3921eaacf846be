#include "package/signature.h"
