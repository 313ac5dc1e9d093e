#include "lib/allocator.h"
