#include "install.h"
