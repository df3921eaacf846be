#include "engine/install_run.h"
