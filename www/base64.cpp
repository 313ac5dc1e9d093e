#include "www/base64.h"
