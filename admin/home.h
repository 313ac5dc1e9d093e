// home: the start and home pages, the public information pages and the
// built-in images.  Reads the configuration, the users-file flags and the
// signed-in user; writes only to standard output.  Nothing here fails: a
// prolog file that does not open is left out, an unknown image number
// writes nothing.
#pragma once

void start_screen();
void HXhomepage();
void home_footer();
void HXversion();
void HXdownload();
void HXwpt();
// Writes image 1 (the logo) or 2 (the Home button) as the whole response;
// other numbers write nothing and give -1.  1 when fewer bytes went out
// than the image holds, else 0.
int serve_image(long number);
// The pictures' numbers run from 1 to this.
long imagecount();
