// logview: the system log and accounting log pages.
#pragma once

void HXsyslog();
void HXacctlog();
