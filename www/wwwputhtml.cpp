#include "www/wwwputhtml.h"
