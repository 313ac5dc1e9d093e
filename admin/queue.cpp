#include "admin/queue.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "lib/config.h"
#include "lib/if_blank.h"
#include "lib/spawn.h"
#include "lib/string.h"
#include "lib/ulstrcmp.h"
#include "sys/slotmgmt.h"
#include "sys/slotquery.h"
#include "sys/slotrequest.h"
#include "www/wwwauth.h"
#include "www/wwwputhtml.h"

namespace {

constexpr const char* TITLE = "Vantrel Image Messaging Software";

// The list shows this many requests at a time.
constexpr int PAGE_ROWS = 25;

// Numbers in the path are read like atol, but stop growing here instead of
// overflowing; every caller clamps to a far smaller range.
constexpr long long PATH_NUMBER_CAP = 1LL << 40;

const char* pathinfo()
{
    const char* path = getenv("PATH_INFO");
    return path ? path : "";
}

bool inpath(const char* name) { return strstr(pathinfo(), name) != nullptr; }

// The number after the first `name` anywhere in PATH_INFO; 0 when absent.
long long pathnumber(const char* name)
{
    const char* at = strstr(pathinfo(), name);
    if (!at)
        return 0;
    const char* p = at + strlen(name);
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    long long value = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p)
        value = std::min(value * 10 + (*p - '0'), PATH_NUMBER_CAP);
    return negative ? -value : value;
}

template <std::size_t N>
std::string fieldhtml(const char (&field)[N])
{
    return htmlescape(slotfieldtext(field));
}

// The pages' own state names; Retry Wait and Reactivated show as unknown.
const char* statename(int state)
{
    static const char* const names[] = {"???",     "New",       "Waiting", "Active",
                                        "Delayed", "Suspended", "SENT",    "FAILED"};
    return state >= SLOT_NEW && state <= SLOT_FAILED ? names[state] : "???";
}

std::string timetext(std::uint32_t when)
{
    const char* format = get_config("zel-tformat");
    if (!format)
        format = "%x %X";
    time_t t = when;
    struct tm tm;
    char text[32] = "";
    // The format is the administrator's, from the configuration file.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (!localtime_r(&t, &tm) || strftime(text, sizeof text, format, &tm) == 0)
        text[0] = '\0';
#pragma GCC diagnostic pop
    // The format comes from the configuration file.
    return htmlescape(text);
}

// An administrator may see and operate every request, a user with a
// from-email address those he sent.
bool mayaccess(const StatusSlot& record)
{
    if (hasprivilege("admin"))
        return true;
    const char* mine = authparam("from-email");
    if (if_blank(mine))
        return false;
    std::string sender = slotfieldtext(record.sender);
    return ulstrncmp(mine, sender.c_str(), sizeof record.sender) == 0;
}

// readslot for the slot number asked for in the path; a number outside
// the database's range is reported as a record that cannot be positioned.
int loadslot(long long slot, StatusSlot* record)
{
    if (slot < 0 || slot > INT_MAX)
        return SLOT_NOSEEK;
    return readslot(static_cast<int>(slot), record);
}

void cannotaccess(long long slot, int code)
{
    putf("<center><p>Cannot access information on slot %lld (%d).</center>\n", slot, code);
}

void openpage(const char* title, const char* helpid)
{
    putpagehead("%s - %s", TITLE, title);
    putbanner(helpid);
}

// ---- Statistics -------------------------------------------------------------

struct StatRow {
    const char* label;
    std::int32_t QueueStats::*count;
    int window; // shown only when the statistics reach this far back; 0: always
};

constexpr StatRow STAT_ROWS[] = {
    {"<tbody><tr><td>Active</td><td>", &QueueStats::active, 0},
    {"<tr><td>Waiting</td><td>", &QueueStats::waiting, 0},
    {"<tr><td>Suspended</td><td>", &QueueStats::suspended, 0},
    {"<tr><td>Sent <i>last hour</i></td><td>", &QueueStats::senthour, 3600},
    {"<tr><td>Sent <i>last day</i></td><td>", &QueueStats::sentday, 86400},
    {"<tr><td>Sent <i>since ...</i></td><td>", &QueueStats::sent, 0},
    {"<tr><td>Failed <i>last hour</i></td><td>", &QueueStats::failedhour, 3600},
    {"<tr><td>Failed <i>last day</i></td><td>", &QueueStats::failedday, 86400},
    {"<tr><td>Failed <i>since ...</i></td><td>", &QueueStats::failed, 0},
};

void statshead(const QueueStats& all, const char* user)
{
    putf("<p><table align=center cellpadding=4 cellspacing=4 border=1><COLGROUP><col>"
         "<col align=center><col align=center><thead><tr><th colspan=%d>Cumulative Queue "
         "Statistics since<br><i>",
         user ? 3 : 2);
    time_t since = all.since;
    char text[64];
    // ctime's text ends with its own line end.
    puttext(ctime_r(&since, text) ? text : "\n");
    putf("</i></th></tr>\n<tr><th>Category</th>");
    if (user)
        putf("<th>for user<br>%s</th>\n", htmlescape(user).c_str());
    putf("<th>for system</th></tr>");
}

// ---- Request list -----------------------------------------------------------

void listrow(const QueueEntry& entry)
{
    const StatusSlot& r = entry.record;
    puthtml("<tr><td><a href=\"$SCRIPT_NAME/Page104/s=%d\">%u-%u</a></td>", entry.slot, r.idmajor,
            static_cast<unsigned>(r.idminor));
    putf("<td>%s<br>%s</td>", timetext(r.timequeued).c_str(), timetext(r.timechanged).c_str());
    putf("<td>%s</td>", fieldhtml(r.sender).c_str());
    putf("<td>%s</td>", statename(r.state));
    putf("<td>");
    std::string name = slotfieldtext(r.recipient), company = slotfieldtext(r.company);
    bool named = !if_blank(name.c_str()), firm = !if_blank(company.c_str());
    if (named)
        puttext(htmlescape(name));
    if (firm)
        putf("%s%s", named ? "<br>" : "", htmlescape(company).c_str());
    if (named || firm)
        putf("<br>");
    // The cell and the row stay open; browsers close them at the next row.
    puttext(fieldhtml(r.dialled));
}

bool newerfirst(const QueueEntry& a, const QueueEntry& b)
{
    if (a.record.idmajor != b.record.idmajor)
        return a.record.idmajor > b.record.idmajor;
    return a.record.idminor > b.record.idminor;
}

void pagelinks(const QueueEntry* rows, int count, int newer, int older, unsigned bound)
{
    if (count > 0 && newer)
        puthtml("<a href=\"$SCRIPT_NAME/Page102/up=%u/r=%u/\">Next %d requests.</a>&nbsp;&nbsp;",
                rows[0].record.idmajor, static_cast<unsigned>(rows[0].record.idminor),
                std::min(newer, PAGE_ROWS));
    if (count > 0 && older) {
        const StatusSlot& last = rows[count - 1].record;
        puthtml(
            "<a href=\"$SCRIPT_NAME/Page102/dn=%u/r=%u/\">Previous %d requests.</a>&nbsp;&nbsp;",
            last.idmajor, static_cast<unsigned>(last.idminor), std::min(older, PAGE_ROWS));
    }
    if (bound != 0)
        puthtml("<a href=\"$SCRIPT_NAME/Page102\">Most recent %d requests.</a>&nbsp;&nbsp;",
                PAGE_ROWS);
}

// ---- Request details --------------------------------------------------------

void detailrows(int slot, const StatusSlot& r)
{
    putf("<tr><td><i>Request ID</i></td><td align=right>%u-%u</td></tr>\n", r.idmajor,
         static_cast<unsigned>(r.idminor));
    putf("<tr><td><i>Slot number</i></td><td align=right>%d</td></tr>\n", slot);
    putf("<tr><td><i>Status</i></td><td align=center>\n%s</td></tr>", statename(r.state));
    putf("<tr><td><i>Send attempts</i></td><td align=right>%d</td></tr>\n", r.attempts);
    putf("<tr><td><i>Pages Sent</i></td><td align=right>%d/%d</td></tr>\n", r.pagessent,
         r.pagestotal);
    putf("<tr><td><i>Error code</i></td><td align=right>%d/%d</td></tr>\n", r.errorclass,
         r.errorcode);
    putf("<tr><td><i>Priority</i></td><td align=right>%d</td></tr>\n", r.priority);
    putf("<tr><td><i>Time Queued</i></td><td align=center>%s</td></tr>\n",
         timetext(r.timequeued).c_str());
    putf("<tr><td><i>Status Last Changed</i></td><td align=center>%s</td></tr>\n",
         timetext(r.timechanged).c_str());
    putf("<tr><td><i>Owner (UID)</i></td><td align=right>%d</td></tr>\n", r.owneruid);
    const struct {
        const char* label;
        std::string value;
    } texts[] = {
        {"CSID", fieldhtml(r.csid)},
        {"Fax Line", fieldhtml(r.faxline)},
        {"Sender", fieldhtml(r.sender)},
        {"Request Handle", fieldhtml(r.handle)},
        {"Phone Number", fieldhtml(r.phone)},
        {"Dialled Number", fieldhtml(r.dialled)},
        {"Recipient Name", fieldhtml(r.recipient)},
        {"Recipient Company", fieldhtml(r.company)},
        {"Subject", fieldhtml(r.subject)},
    };
    for (const auto& t : texts)
        putf("<tr><td><i>%s</i></td><td align=center>%s</td></tr>\n", t.label, t.value.c_str());
}

// A link to the operation's page when it applies, else the plain word.
void operationword(bool applies, int page, int slot, const char* word)
{
    if (applies)
        puthtml("<a href=\"$SCRIPT_NAME/Page%d/s=%d\">%s</a>\n", page, slot, word);
    else
        putf("%s\n", word);
}

void operationlinks(int slot, const StatusSlot& record)
{
    char cf[PATH_MAX], sf[PATH_MAX];
    int files = requestfiles(&record, cf, sf);
    putf("<center><font face=\"Arial, Helvetica\" size=4 color=\"#C57733\">\n");
    operationword(files == FILES_SUSPENDED, 122, slot, "ACTIVATE");
    operationword(files == FILES_QUEUED, 121, slot, "SUSPEND");
    operationword(files == FILES_SUSPENDED, 123, slot, "DELETE");
    putf("</font>\n");
}

// ---- Request operations -----------------------------------------------------

struct Operation {
    const char* helpid;
    const char* heading;
    const char* verb;
    const char* option;
};

constexpr Operation SUSPEND = {"HXreqsuspend", "Suspend Request", "suspend", "-s"};
constexpr Operation ACTIVATE = {"HXreqactivate", "Activate Request", "activate", "-a"};
constexpr Operation DELETE = {"HXreqdelete", "Delete Request", "delete", "-d"};

void runquectl(const char* option, int slot)
{
    std::string command = shellword(fax_directory(getfaxdir())) + "/lib/quectl " + option + " -n " +
                          std::to_string(slot);
    char* output = nullptr;
    run_shell_merged_output(command.c_str(), &output);
    if (output) {
        // The tool's answer is shown as it printed it.
        putf("%s\n", output);
        free(output);
    }
}

void requestoperation(const Operation& op)
{
    putpagehead("%s - %s", TITLE, op.heading);
    putbanner(op.helpid);
    putf("<h1>%s</h1>\n", op.heading);
    long long asked = pathnumber("s=");
    StatusSlot record{};
    int code = loadslot(asked, &record);
    if (code != SLOT_OK)
        cannotaccess(asked, code);
    else if (!mayaccess(record))
        putf("<p>You do not have authorisation to %s this request.", op.verb);
    else
        runquectl(op.option, static_cast<int>(asked));
    putfooter();
}

} // namespace

void HXqueuestat(const char* fromemail)
{
    time_t now = time(nullptr);
    QueueStats all{}, mine{};
    // What a scan of an empty database leaves, also when the scan fails.
    all.since = mine.since = INT32_MAX;
    queuestats(&all, &mine, fromemail, 0);
    const char* user = if_blank(fromemail) ? nullptr : fromemail;

    openpage("Queue Statistics", "HXqueuestat");
    statshead(all, user);
    for (const StatRow& row : STAT_ROWS) {
        if (row.window && !(static_cast<long long>(all.since) < now - row.window))
            continue;
        puttext(row.label);
        if (user)
            putf("%d</td><td>", mine.*row.count);
        putf("%d</td></tr>\n", all.*row.count);
    }
    putf("</table>");
    putfooter();
}

void HXnoqueuestatus()
{
    if (hasprivilege("admin")) {
        HXqueuestatus(nullptr);
        return;
    }
    const char* mine = authparam("from-email");
    if (!if_blank(mine)) {
        HXqueuestatus(mine);
        return;
    }
    openpage("Queue Status", "HXnoqueuestatus");
    putf("<p>The Queue Management function is only available to users who have <i>admin</i> "
         "privileges or who have defined a <i>from email</i> parameter in their user "
         "configuration. Since you have neither, we unfortunately cannot display any "
         "information about the queue. Please see your system administrator if you feel your "
         "user configuration is incorrect.");
}

void HXqueuestatus(const char* sender)
{
    int older = 1;
    long long bound = 0;
    if (inpath("up=")) {
        bound = pathnumber("up=");
        older = 0;
    } else if (inpath("dn=")) {
        bound = pathnumber("dn=");
    }
    auto major = static_cast<unsigned>(std::clamp(bound, 0LL, static_cast<long long>(UINT32_MAX)));
    auto minor = static_cast<unsigned>(std::clamp(pathnumber("r="), 0LL, 65535LL));

    QueueEntry rows[PAGE_ROWS];
    int newer = 0, olders = 0;
    int count = queryqueue(rows, PAGE_ROWS, older, major, minor, &newer, &olders,
                           sender ? QUERY_SENDER : QUERY_ALL, sender);
    if (count < 0)
        count = newer = olders = 0;
    count = std::min(count, PAGE_ROWS);
    std::sort(rows, rows + count, newerfirst);

    openpage("Queue Status", "HXqueuestatus");
    putf("<p><center>Queued Requests for <i>%s</i></center>",
         sender ? htmlescape(sender).c_str() : "All Users");
    puttext(QUEUE_LIST_HEAD);
    for (int i = 0; i < count; ++i)
        listrow(rows[i]);
    putf("</table><p>");
    putf("<center><font size=2><p>(%d newer requests; %d older requests)</font><p>\n", newer,
         olders);
    pagelinks(rows, count, newer, olders, major);
    putf("</center>");
    putfooter();
}

void HXreqstatus()
{
    openpage("Request Status", "HXreqstatus");
    long long asked = pathnumber("s=");
    StatusSlot record{};
    int code = loadslot(asked, &record);
    if (code != SLOT_OK) {
        cannotaccess(asked, code);
    } else if (!mayaccess(record)) {
        putf("<p>You do not have authorisation to view the details of this request.");
    } else {
        int slot = static_cast<int>(asked);
        putf("<p><table border=1 cellpadding=2 cellspacing=2 align=center>");
        detailrows(slot, record);
        putf("</table>");
        operationlinks(slot, record);
    }
    putfooter();
}

void HXreqsuspend() { requestoperation(SUSPEND); }
void HXreqactivate() { requestoperation(ACTIVATE); }
void HXreqdelete() { requestoperation(DELETE); }
