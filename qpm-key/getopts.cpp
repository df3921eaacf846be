#include "getopts.h"
