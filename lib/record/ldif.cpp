#include "record/ldif.h"
