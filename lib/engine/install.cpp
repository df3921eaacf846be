#include "engine/install.h"
