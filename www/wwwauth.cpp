#include "www/wwwauth.h"
