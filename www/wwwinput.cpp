#include "www/wwwinput.h"
