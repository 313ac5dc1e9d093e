// daemon: the daemon status page with start and stop through the control
// tool, and the e-mail server set-up pages, which run the tool with its
// set-up scripts and record the outcome in `email-config`.  Tool runs go
// through run_shell_merged_output with the admin token set; their answers
// are shown as the pages say.  Nothing here fails the request.
#pragma once

// Probes.  The font server: 1 available, 0 not, -1 not configured or
// unknown (writes its status text and the converter check).  The
// scheduler: 1 running, 0 otherwise (writes its status text unless quiet).
int fontserverprobe();
// `font-server` names a font server, so the daemon status page runs the
// probe tool.
bool fontserverset();
int schedulerprobe(int quiet);
// For the home page's alerts: the scheduler runs (writes nothing).
bool schedulerrunning();
// "Missing txtimg", "Needed.", "Not Needed." or "Need Indeterminate..".
const char* convertercheck();

// `output`: what the last control command printed, or null.
void HXdaemon(const char* output);
// Runs "<fax-directory>/lib/tabctl -X <word>" and shows the daemon page
// with its output.
void daemoncontrol(const char* word);
void HXemail();
void HXemailcfg();
void HXemailuncfg();
void HXemailtest();
// Sets `email-config` to "no", writes the configuration file, then shows
// the home page.
void emailconfigoff();
