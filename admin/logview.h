// logview: the system log and accounting log pages, twenty lines a page
// with links backwards and forwards.  readlines finds a page's lines by
// byte offsets without reading the whole file.  Every value from a log
// line is HTML-escaped in its row.
#pragma once

void HXsyslog();
void HXacctlog();
