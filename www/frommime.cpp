#include "www/frommime.h"
