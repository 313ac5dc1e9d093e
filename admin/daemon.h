// daemon: daemon status and control, and the e-mail gateway pages.
#pragma once

// `output`: what the last control command printed, or null.
void HXdaemon(const char* output);
// Runs "<fax-directory>/lib/tabctl -X <word>" and shows the daemon page
// with its output.
void daemoncontrol(const char* word);
void HXemail();
void HXemailcfg();
void HXemailuncfg();
void HXemailtest();
// Turns the e-mail gateway configuration off, then shows the home page.
void emailconfigoff();
