#include "record/base64.h"
