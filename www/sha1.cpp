#include "www/sha1.h"
