#include "admin/lines.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <signal.h>

#include "admin/linefile.h"
#include "admin/request.h"
#include "lib/if_blank.h"
#include "lib/ulstrcmp.h"
#include "www/wwwinput.h"
#include "www/wwwputhtml.h"

namespace {

constexpr const char* SELECT_TITLE = "Vantrel Image Messaging Software - Select Fax Line";
constexpr const char* UPDATE_TITLE = "Vantrel Image Messaging Software - Fax Line Update";
constexpr const char* TEST_TITLE = "Vantrel Image Messaging Software - Modem Test";
constexpr const char* RESET_TITLE = "Vantrel Image Messaging Software - Modem Reset";
constexpr const char* ERROR_TITLE = "Vantrel Image Messaging Software - Fax Line Update Error";
constexpr const char* STATUS_TITLE = "Vantrel Image Messaging Software - Fax Line Status";

constexpr const char* NO_LINE = "No line was selected!";
constexpr const char* NAME_EXISTS = "FAX LINE NAME ALREADY EXISTS, PLEASE ENTER DIFFERENT NAME.";
constexpr const char* BAD_NAME =
    "FAX LINE NAME CONTAINS INVALID CHARACTERS, PLEASE ENTER DIFFERENT NAME.";
constexpr const char* CANNOT_DELETE = "Cannot delete fax line file.";
constexpr const char* CANNOT_RENAME = "Cannot rename fax line file.";
constexpr const char* CANNOT_CREATE = "Cannot create fax line file.";

// The red-headed box; the modem results open it without the paragraph.
constexpr const char* BOX_HEAD =
    "<p><table border=1 cellpadding=6 cellspacing=6 align=center><tr bgcolor=\"#ff0000\">";

bool is(const char* text, const char* word)
{
    return text != nullptr && std::strcmp(text, word) == 0;
}

std::string escaped(const char* text) { return text ? htmlescape(text) : std::string(); }

// ---- The form ---------------------------------------------------------------------

void setname(LineForm& form, const char* name)
{
    LineValue& f = form[linefield("name")];
    f.value = f.old = name ? name : "";
}

// Every value and old value empty.
LineForm clearedform()
{
    LineForm form;
    for (LineValue& f : form)
        f.value = f.old = std::string();
    return form;
}

std::optional<std::string> posted(const char* name)
{
    const char* value = formvalue(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

LineForm formfromposted()
{
    LineForm form;
    for (std::size_t i = 0; i < LINE_FIELD_COUNT; ++i) {
        form[i].value = posted(linefields[i].key);
        form[i].old = posted(linefields[i].oldname);
    }
    return form;
}

// The value shown is also the old value, so that a save can tell what
// the administrator changed from what the form merely carried.
void formfromfile(LineForm& form, const KeyTree& tree)
{
    for (std::size_t i = 0; i < LINE_FIELD_COUNT; ++i) {
        const char* value = keytree_lookup(tree, linefields[i].key);
        form[i].value = form[i].old = value ? value : linefields[i].dflt;
    }
}

void formdefaults(LineForm& form)
{
    for (std::size_t i = 0; i < LINE_FIELD_COUNT; ++i)
        form[i].value = linefields[i].dflt;
}

void formhidden(const LineForm& form)
{
    for (std::size_t i = 0; i < LINE_FIELD_COUNT; ++i)
        putf("<input type=hidden name=\"%s\" value=\"%s\">\n", linefields[i].oldname,
             form[i].old ? htmlescape(*form[i].old).c_str() : "");
}

void putchoices(const LineField& f, const LineValue& v)
{
    putf("<select name=\"%s\" size=1>\n", f.key);
    std::string choices = f.choices;
    std::size_t start = 0;
    while (start <= choices.size()) {
        std::size_t end = choices.find(',', start);
        if (end == std::string::npos)
            end = choices.size();
        std::string choice = choices.substr(start, end - start);
        bool selected = v.value && ulstrcmp(choice.c_str(), v.value->c_str()) == 0;
        putf(selected ? "  <option selected>%s</option>\n" : "  <option>%s</option>\n",
             choice.c_str());
        start = end + 1;
    }
    putf("</select>\n");
}

void formrows(const LineForm& form)
{
    for (std::size_t i = 0; i < LINE_FIELD_COUNT; ++i) {
        const LineField& f = linefields[i];
        if (!f.shown)
            continue;
        putf("<tr bgcolor=\"#eeeecc\">\n<td>%s</td>\n<td>\n", f.label);
        if (f.kind == LineField::Kind::select)
            putchoices(f, form[i]);
        else
            putf("<input type=text name=\"%s\" size=%d value=\"%s\">\n", f.key, f.size,
                 form[i].value ? htmlescape(*form[i].value).c_str() : "");
        putf("</td>\n</tr>\n");
    }
}

int linewarnings(const LineForm& form)
{
    const char* device = linevalue(form, "device");
    const char* speed = linevalue(form, "speed");
    const char* faxspeed = linevalue(form, "fax-speed");
    int state = devicestate(device);
    bool slow = !is(speed, "19200") || !is(faxspeed, "19200");
    if (state == 0 && !slow)
        return 0;
    putf("%s<td align=center><b>WARNING!</b> (I102)</td></tr><tr><td> The following "
         "problems have been detected with this device configuration:<ul>",
         BOX_HEAD);
    if (state == 1 && if_blank(device))
        putf("<li>the device file is not defined (ERROR I110)\n");
    else if (state == 1)
        putf("<li>the device file (%s) does not exist(ERROR I120)\n", htmlescape(device).c_str());
    else if (state == 2)
        putf("<li>the device file (%s) is not a special characterfile (ERROR I130)\n",
             htmlescape(device).c_str());
    if (slow)
        putf("<li>one or more of the 'speed' fields below are set to speeds other than "
             "19200 (ERROR I140).[%s][%s]",
             escaped(speed).c_str(), escaped(faxspeed).c_str());
    putf("</ul><p>Please set this information in the appropriate fields below.<p>"
         "</table><p>");
    return 1;
}

// A tool's failure ends the request with the error page.
void failedtool(const std::optional<ToolFailure>& failed)
{
    if (failed)
        HXerror(failed->command.c_str(), failed->output.c_str());
}

// ---- Pages ------------------------------------------------------------------------

void putmessage(const char* message)
{
    if (message)
        puthtml("<p><b>%s</b>\n", message);
}

// The form again after a refused submission, with the posted values.
void showagain(const char* message) { lineform(formvalue("name"), 1, message); }

void modempage(const char* name, bool reset)
{
    putpagehead("%s", reset ? RESET_TITLE : TEST_TITLE);
    putbanner(reset ? "HXmodemreset" : "HXmodemtest");
    putf(reset ? "<p>Please wait while we reset and test this modem (this can take up to "
                 "two minutes).<p><pre>"
               : "<p>Please wait while we test this modem (this can take up to two "
                 "minutes).<p><pre>");
    std::fflush(stdout);
    failedtool(freeline(name));
    std::string output = checkmodem(name, reset);
    if (!output.empty())
        putf("</pre>%s<td align=center><b>Modem Test Results</b> </td></tr><tr><td><pre>"
             "%s</pre><p></table><p>",
             BOX_HEAD + 3, output.c_str());
    else
        putf("</pre>");
    putfooter();
}

void putbuttons(const char* button)
{
    if (is(button, "Update")) {
        putf("<input type=submit name=button value=\"Update\">\n");
    } else if (is(button, "Delete")) {
        putf("ARE YOU SURE YOU WANT TO DELETE THIS LINE?");
        putf("<input type=submit name=button value=\"Delete\">\n");
    } else if (is(button, "Add")) {
        putf("<input type=submit name=button value=\"Add\">\n");
    } else {
        return;
    }
    putf("<input type=submit name=button value=\"Cancel\">\n");
}

// The line's file as the form shows it; ends the request when it is gone.
// The inittab's state of the line.
int formfromline(LineForm& form, const char* name)
{
    std::optional<LineFile> line = loadline(name);
    if (!line) {
        putf("<p>Cannot locate device named %s.\n", htmlescape(name).c_str());
        putfooter();
        std::exit(-1);
    }
    formfromfile(form, line->tree);
    setname(form, name);
    return line->analysis;
}

void linepage(const char* name, int redisplay, const char* message, const char* button)
{
    putpagehead("%s", UPDATE_TITLE);
    putbanner("HXlineupdate");
    LineForm form = clearedform();
    bool add = is(button, "Add");
    if (add) {
        name = nextlinename();
        if (!redisplay) {
            formdefaults(form);
            setname(form, name);
        }
    }
    if (redisplay) {
        form = formfromposted();
    } else if (!add) {
        int analysis = formfromline(form, name);
        putf("<!-- inittabstat %d -->\n", analysis);
    }
    putmessage(message);
    if (!add)
        linewarnings(form);
    puthtml("<form action=\"$SCRIPT_NAME/Action7\" method=post>\n");
    formhidden(form);
    putf("<p><table border=2 cellpadding=2 cellspacing=2>");
    putf("<caption>Parameters for <em>%s</em></caption>", escaped(name).c_str());
    formrows(form);
    putf("</table>\n<p>\n");
    putbuttons(button);
    putf("</form>");
    putfooter();
}

void donepage(const char* name, const char* verb)
{
    std::string message = "Fax line <em>" + htmlescape(name) + "</em> has been " + verb + ".<p>\n";
    HXselectline(message.c_str());
}

// The line was deleted or renamed by someone else between its form and
// this save.
void gonepage(const char* name)
{
    std::string message = "Fax line <em>" + htmlescape(name) +
                          "</em> no longer exists: it was deleted or renamed after its form was "
                          "shown, and nothing was saved.<p>\n";
    HXselectline(message.c_str());
}

void deleteline(const char* name)
{
    if (deletelinefile(name) != LINEFILE_OK) {
        showagain(CANNOT_DELETE);
        return;
    }
    donepage(name, "deleted");
}

void addline(const char* name, LineForm& form)
{
    // A line that could not be written is not reported as added, and its
    // receiving is left alone.
    int result = addlinefile(name, form);
    if (result != LINEFILE_OK) {
        showagain(result == LINEFILE_EXISTS ? NAME_EXISTS : CANNOT_CREATE);
        return;
    }
    failedtool(applylinemode(form));
    donepage(name, "added");
}

void renameline(const char* name, const char* oname, LineForm& form)
{
    if (lineexists(name)) {
        showagain(NAME_EXISTS);
        return;
    }
    // Without an old name there is nothing to rename.
    if (!oname) {
        showagain(CANNOT_RENAME);
        return;
    }
    if (!usablelinename(oname)) {
        showagain(BAD_NAME);
        return;
    }
    LineChanges changes = updatechanges(form);
    int result = movelinefile(oname, name, form, changes);
    if (result == LINEFILE_GONE) {
        gonepage(oname);
        return;
    }
    if (result != LINEFILE_OK) {
        showagain(result == LINEFILE_EXISTS ? NAME_EXISTS : CANNOT_RENAME);
        return;
    }
    // The new name has no receiving of its own yet, whatever the mode.
    failedtool(applylinemode(form));
    donepage(name, "renamed/updated");
}

void updateline(const char* name, const char* oname, LineForm& form)
{
    if (!is(oname, name)) {
        renameline(name, oname, form);
        return;
    }
    LineChanges changes = updatechanges(form);
    int result = savelinefile(name, form, changes);
    if (result == LINEFILE_GONE) {
        gonepage(name);
        return;
    }
    if (result != LINEFILE_OK) {
        showagain(CANNOT_RENAME);
        return;
    }
    if (switchesmode(changes))
        failedtool(applylinemode(form));
    donepage(name, "updated");
}

// The probe's answer: whether the process of the id in `value` is gone.
// An id that is not a positive number names no process of its own (0 and
// negative ids would probe process groups).
bool gone(const char* value, long* pid, int* probe)
{
    char* end = nullptr;
    errno = 0;
    long id = std::strtol(value, &end, 10);
    while (end && *end == ' ')
        ++end;
    if (end == value || *end != '\0' || errno != 0 || id <= 0 || id > INT_MAX)
        return true;
    *pid = id;
    *probe = kill(static_cast<pid_t>(id), 0);
    return *probe != 0 && errno == ESRCH;
}

struct Probes {
    long pid = 0;
    int retval = 0;
};

void statusrow(const LineRecord& line, Probes& probes)
{
    const char* device = keytree_lookup(*line.tree, "device");
    const char* status = keytree_lookup(*line.status, "status");
    const char* listen = keytree_lookup(*line.status, "listen-process-id");
    const char* process = keytree_lookup(*line.status, "process-id");
    const char* receive = "not active";
    if (listen) {
        long pid = 0;
        receive = gone(listen, &pid, &probes.retval) ? "not running" : "running";
        probes.pid = pid;
    }
    const char* transmit = "not active";
    if (process) {
        long ignored = 0;
        bool same = listen && std::strtol(process, nullptr, 10) == std::strtol(listen, nullptr, 10);
        transmit = same || gone(process, &ignored, &probes.retval) ? "not running" : "running";
    }
    putf("<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>\n",
         htmlescape(line.name).c_str(), escaped(device ? device : "Unknown").c_str(),
         escaped(status ? status : "Not available").c_str(), receive, transmit);
}

} // namespace

// ---- Entry points ---------------------------------------------------------------------

void HXselectline(const char* message)
{
    // The page opens first, so that a failure to read the directory shows
    // inside it.
    putpagehead("%s", SELECT_TITLE);
    putbanner("HXselectline");
    int count = linelist();
    putmessage(message);
    putf("<p>Please select the fax line you wish to update or delete, or press add to add "
         "a new line to the system.\n");
    puthtml("<form action=\"$SCRIPT_NAME/Action8\" method=post>\n");
    putf("<select name=lname size=4>\n");
    for (int i = 0; i < lines.count; ++i) {
        std::string name = htmlescape(linerecord(i)->name);
        putf("<option value=\"%s\">%s\n", name.c_str(), name.c_str());
    }
    putf("</select><br>\nNumber of fax lines defined: %d\n", count < 0 ? 0 : count);
    putf("<input type=submit name=button value=\"Add\">\n");
    putf("<input type=submit name=button value=\"Update\">\n");
    putf("<input type=submit name=button value=\"Delete\">\n");
    putf("<p><input type=submit name=button value=\"Test Modem\">\n");
    putf("<input type=submit name=button value=\"Reset Modem\">\n");
    putf("</form>\n");
    putfooter();
}

void lineform(const char* name, int redisplay, const char* message)
{
    const char* button = formvalue("button");
    bool needsname = button == nullptr || is(button, "Update") || is(button, "Test Modem") ||
                     is(button, "Reset Modem") || is(button, "Delete");
    if (needsname && if_blank(name)) {
        HXselectline(NO_LINE);
        return;
    }
    if (is(button, "Cancel")) {
        gohome();
        return;
    }
    bool test = is(button, "Test Modem"), reset = is(button, "Reset Modem");
    // Only a name that stays inside the dev directory and is one word of a
    // command line is looked up or handed to a tool.
    bool usesname = test || reset || (!redisplay && !is(button, "Add"));
    if (usesname && !usablelinename(name)) {
        HXselectline(NO_LINE);
        return;
    }
    if (test || reset)
        modempage(name, reset);
    else
        linepage(name, redisplay, message, button);
}

void lineupdate()
{
    LineForm form = formfromposted();
    const char* name = formvalue("name");
    const char* oname = formvalue("oname");
    const char* button = formvalue("button");
    if (is(button, "Cancel")) {
        HXselectline(nullptr);
        return;
    }
    bool known = is(button, "Delete") || is(button, "Add") || is(button, "Update") ||
                 is(button, "Test Modem") || is(button, "Reset Modem");
    if (!known) {
        HXselectline(nullptr);
        return;
    }
    // Checked before anything is read, written, removed or run: an update
    // or a delete names files too.  A rename's old name is checked where
    // the rename needs it, after the new name's existence.
    if (!usablelinename(name)) {
        showagain(BAD_NAME);
        return;
    }
    if (is(button, "Test Modem") || is(button, "Reset Modem"))
        modempage(name, is(button, "Reset Modem"));
    else if (is(button, "Delete"))
        deleteline(name);
    else if (is(button, "Add"))
        addline(name, form);
    else
        updateline(name, oname, form);
}

void HXerror(const char* command, const char* output)
{
    if (headstate() == HEAD_BODY) {
        // A modem page is open, its output inside <pre>: the error joins it
        // rather than starting a second document.
        putf("</pre>");
    } else {
        putpagehead("%s", ERROR_TITLE);
    }
    putbanner("HXerror");
    putf("<p>There has been a problem trying to update the specified faxline. Please "
         "report the following error to %s<p>Here is the command that we tried to run:"
         "<pre>",
         SUPPORT_EMAIL);
    puthtmlescaped(command);
    putf("</pre><p>Here is the output that we received:<pre>%s</pre>", output ? output : "");
    putfooter();
    std::exit(0);
}

void HXlinestatus()
{
    putpagehead("%s", STATUS_TITLE);
    putbanner("HXlinestatus");
    for (const char* cell :
         {"<p><table align=center cellpadding=4 border=2>", "<tr>", "<th>Port</th>",
          "<th>Device</th>", "<th>Status</th>", "<th>Fax Receive<br>Daemon</th>",
          "<th>Fax Transmit<br>Daemon</th>", "</tr>"})
        putline(cell);
    linelist();
    Probes probes;
    for (int i = 0; i < lines.count; ++i) {
        LineRecord* line = linerecord(i);
        line->status = new KeyTree;
        FILE* file = std::fopen(line->statuspath, "re");
        int bad = file ? keytree_read(*line->status, file) : 1;
        if (file)
            std::fclose(file);
        if (bad)
            putf("<tr><td>%s</td><td colspan=2>%s</td></tr>\n", htmlescape(line->name).c_str(),
                 "No status available");
        else
            statusrow(*line, probes);
    }
    int error = errno;
    putf("</table>\n");
    putf("<!-- pid=%ld retval=%d errno=%d -->\n", probes.pid, probes.retval, error);
    putf("<p><i>To start or stop fax receive daemons go to the ");
    puthtml("<a href=\"$SCRIPT_NAME/Page20\">Configure Fax Line</a>\n");
    putf("page, select the appropriate line, and change the</i> Fax Mode ");
    putf("<i>to enable or disable receiving.</i>");
    putfooter();
}

int linelist()
{
    int count = loadlines();
    if (count == LINEFILE_NODIR)
        putf("ERROR - Cannot open the directory (%s)", htmlescape(linedir()).c_str());
    return count;
}
