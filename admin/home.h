// home: the start and home pages, the public information pages and the
// built-in images.
#pragma once

void start_screen();
void HXhomepage();
void HXversion();
void HXdownload();
void HXwpt();
// Image 1 is the logo, 2 the Home button; other numbers write nothing.
void serve_image(long number);
