#include "admin/home.h"

// The pages of this group are not built yet: each handler writes nothing.

void start_screen() {}
void HXhomepage() {}
void HXversion() {}
void HXdownload() {}
void HXwpt() {}
void serve_image(long) {}
