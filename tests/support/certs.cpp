#include "support/certs.h"
