#include "lib/version.h"

const char* const ZEL_VERSION = "2.0.35";
const char* const ZEL_BUILD_DATE = "Sep  2 2003";
const char* const ZEL_BUILD_TIME = "13:29:06";
