#include "lib/paramfile.h"
