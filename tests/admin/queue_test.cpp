// The send queue's pages through zeladmin as a CGI program, over status
// databases written here byte by byte in sandbox installations; the
// request operations run the quectl stand-in (or a script in its place).
#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "admin/queue.h"
#include "sys/slotmgmt.h"
#include "tests/cgi.h"
#include "tests/harness.h"
#include "tests/pagetext.h"

using namespace pagetext;

namespace {

using cgi::kNph;
using cgi::kOk;

const std::string kScriptName = "/zel";
const std::string kSpool = "var/opt/vantrel/";
constexpr std::uint32_t kQueued = 1700000000;  // 11/14/23 22:13:20 UTC
constexpr std::uint32_t kChanged = 1700003600; // 11/14/23 23:13:20 UTC
const std::string kTimes = "<td>11/14/23 22:13:20<br>11/14/23 23:13:20</td>";

template <std::size_t N>
void fill(char (&field)[N], const std::string& text)
{
    // Like strncpy: a value that fills the field gets no terminator.
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N));
}

StatusSlot request(unsigned major, unsigned minor, int state, const std::string& sender)
{
    StatusSlot r{};
    r.state = static_cast<std::uint8_t>(state);
    r.idmajor = major;
    r.idminor = static_cast<std::uint16_t>(minor);
    r.timequeued = kQueued;
    r.timechanged = kChanged;
    fill(r.sender, sender);
    return r;
}

std::string bytes(const void* data, std::size_t size)
{
    return std::string(static_cast<const char*>(data), size);
}

// status.bm and status.db holding `records` in slots 1, 2, …
void writedb(const Sandbox& box, const std::vector<StatusSlot>& records)
{
    StatusBitmapHeader head{
        STATUS_BM_MAGIC,  STATUS_BM_VERSION, static_cast<std::uint32_t>(records.size()), 1,
        STATUS_SLOT_SIZE, STATUS_BM_OFFSET};
    std::string bitmap(STATUS_BM_BLOCK - STATUS_BM_OFFSET, '\0');
    for (std::size_t i = 0; i < records.size(); ++i)
        bitmap[i / 8] = static_cast<char>(bitmap[i / 8] | (1 << (i % 8)));
    box.write(kSpool + "status.bm", bytes(&head, sizeof head) + bitmap);
    StatusSlot header{};
    std::uint32_t magic = STATUS_DB_MAGIC;
    std::memcpy(&header, &magic, sizeof magic);
    std::string db = bytes(&header, sizeof header);
    for (const StatusSlot& r : records)
        db += bytes(&r, sizeof r);
    box.write(kSpool + "status.db", db);
}

// The rows' request ids of a list page, top to bottom.
std::vector<std::string> listed(const std::string& page)
{
    std::vector<std::string> ids;
    for (std::size_t at = page.find("/Page104/s="); at != std::string::npos;
         at = page.find("/Page104/s=", at + 1)) {
        std::size_t start = page.find("\">", at) + 2;
        ids.push_back(page.substr(start, page.find("</a>", start) - start));
    }
    return ids;
}

// A list page from its counts line to the end of its links.
std::string paging(const std::string& page)
{
    std::size_t start = page.find("<center><font size=2>");
    std::size_t end = page.find("</center>", start);
    return start == std::string::npos ? "" : page.substr(start, end - start);
}

// The table head that the list page writes before its rows.
const std::string kListHead = QUEUE_LIST_HEAD;

class QueuePagesTest : public SandboxTest {
protected:
    QueuePagesTest()
    {
        box.write(Sandbox::kUsers, "[admin]\nprivileges = admin\n"
                                   "[clerk]\nfrom-email = Clerk@Example.com\n"
                                   "[evil]\nfrom-email = <b>evil@example.com\n"
                                   "[stranger]\nfull-name = Nobody\n");
    }

    RunResult get(const std::string& path, const std::string& user) const
    {
        return cgi::zeladmin(
            box, cgi::get(path, {kNph, cgi::basic(user + ":x"), "SCRIPT_NAME=" + kScriptName,
                                 "TZ=UTC", cgi::kSameSite}));
    }

    static std::string page(const std::string& title, const std::string& helpid,
                            const std::string& body)
    {
        return kOk + framed(title, helpid, body, kScriptName);
    }
};

// Three requests: one of another sender in a state the pages do not name,
// and two of the clerk's, his address written in two cases.
std::vector<StatusSlot> smallqueue()
{
    StatusSlot a = request(7, 1, SLOT_NEW, "clerk@example.com");
    fill(a.recipient, "Ann");
    fill(a.company, "Acme");
    fill(a.phone, "5551234");
    fill(a.dialled, "5551234");
    StatusSlot b = request(7, 2, SLOT_RETRYWAIT, "other@example.com");
    fill(b.company, "Widgets");
    fill(b.phone, "5550000");
    fill(b.dialled, "9,5550000");
    b.attempts = 3;
    b.pagessent = 1;
    b.pagestotal = 4;
    b.errorclass = 2;
    b.errorcode = 17;
    b.priority = -5;
    b.owneruid = 1001;
    fill(b.csid, "+1 555 0000");
    fill(b.faxline, "-");
    fill(b.handle, "h42");
    fill(b.subject, "Invoice");
    StatusSlot c = request(9, 0, SLOT_SENT, "CLERK@example.com");
    fill(c.dialled, "123");
    return {a, b, c};
}

} // namespace

TEST_F(QueuePagesTest, ListShowsNewestFirstAndFiltersBySender)
{
    writedb(box, smallqueue());
    const std::string row3 = "<tr><td><a href=\"/zel/Page104/s=3\">9-0</a></td>" + kTimes +
                             "<td>CLERK@example.com</td><td>SENT</td><td>123";
    const std::string row2 = "<tr><td><a href=\"/zel/Page104/s=2\">7-2</a></td>" + kTimes +
                             "<td>other@example.com</td><td>\?\?\?</td><td>Widgets<br>9,5550000";
    const std::string row1 = "<tr><td><a href=\"/zel/Page104/s=1\">7-1</a></td>" + kTimes +
                             "<td>clerk@example.com</td><td>New</td><td>Ann<br>Acme<br>5551234";
    const std::string tail = "</table><p><center><font size=2><p>(0 newer requests; 0 older "
                             "requests)</font><p>\n</center>";
    RunResult r = get("/Page102", "admin");
    EXPECT_EQ(r.out, page("Queue Status", "HXqueuestatus",
                          "<p><center>Queued Requests for <i>All Users</i></center>" + kListHead +
                              row3 + row2 + row1 + tail));
    r = get("/Page102", "clerk");
    EXPECT_EQ(r.out, page("Queue Status", "HXqueuestatus",
                          "<p><center>Queued Requests for <i>Clerk@Example.com</i></center>" +
                              kListHead + row3 + row1 + tail));
}

TEST_F(QueuePagesTest, RefusesUsersWithoutAddressOrPrivilege)
{
    writedb(box, smallqueue());
    const std::string refusal =
        kOk + pagehead("Vantrel Image Messaging Software - Queue Status") +
        banner("HXnoqueuestatus", kScriptName) +
        "<p>The Queue Management function is only available to users who have <i>admin</i> "
        "privileges or who have defined a <i>from email</i> parameter in their user "
        "configuration. Since you have neither, we unfortunately cannot display any information "
        "about the queue. Please see your system administrator if you feel your user "
        "configuration is incorrect.";
    EXPECT_EQ(get("/Page102", "stranger").out, refusal);

    const std::string denied =
        "<p>You do not have authorisation to view the details of this request.";
    EXPECT_EQ(get("/Page104/s=1", "stranger").out, page("Request Status", "HXreqstatus", denied));
    EXPECT_EQ(get("/Page104/s=2", "clerk").out, page("Request Status", "HXreqstatus", denied));
    EXPECT_EQ(get("/Page121/s=2", "clerk").out,
              page("Suspend Request", "HXreqsuspend",
                   "<h1>Suspend Request</h1>\n<p>You do not have authorisation to suspend this "
                   "request."));
}

TEST_F(QueuePagesTest, DetailPageShowsRecordAndApplicableOperations)
{
    writedb(box, smallqueue());
    box.write(kSpool + "destinations/5550000/sf7-2", "data-file1 = x\n");
    RunResult r = get("/Page104/s=2", "admin");
    EXPECT_EQ(
        r.out,
        page("Request Status", "HXreqstatus",
             "<p><table border=1 cellpadding=2 cellspacing=2 align=center>"
             "<tr><td><i>Request ID</i></td><td align=right>7-2</td></tr>\n"
             "<tr><td><i>Slot number</i></td><td align=right>2</td></tr>\n"
             "<tr><td><i>Status</i></td><td align=center>\n\?\?\?</td></tr>"
             "<tr><td><i>Send attempts</i></td><td align=right>3</td></tr>\n"
             "<tr><td><i>Pages Sent</i></td><td align=right>1/4</td></tr>\n"
             "<tr><td><i>Error code</i></td><td align=right>2/17</td></tr>\n"
             "<tr><td><i>Priority</i></td><td align=right>-5</td></tr>\n"
             "<tr><td><i>Time Queued</i></td><td align=center>11/14/23 22:13:20</td></tr>\n"
             "<tr><td><i>Status Last Changed</i></td><td align=center>11/14/23 23:13:20</td></tr>\n"
             "<tr><td><i>Owner (UID)</i></td><td align=right>1001</td></tr>\n"
             "<tr><td><i>CSID</i></td><td align=center>+1 555 0000</td></tr>\n"
             "<tr><td><i>Fax Line</i></td><td align=center>-</td></tr>\n"
             "<tr><td><i>Sender</i></td><td align=center>other@example.com</td></tr>\n"
             "<tr><td><i>Request Handle</i></td><td align=center>h42</td></tr>\n"
             "<tr><td><i>Phone Number</i></td><td align=center>5550000</td></tr>\n"
             "<tr><td><i>Dialled Number</i></td><td align=center>9,5550000</td></tr>\n"
             "<tr><td><i>Recipient Name</i></td><td align=center></td></tr>\n"
             "<tr><td><i>Recipient Company</i></td><td align=center>Widgets</td></tr>\n"
             "<tr><td><i>Subject</i></td><td align=center>Invoice</td></tr>\n"
             "</table><center><font face=\"Arial, Helvetica\" size=4 color=\"#C57733\">\n"
             "<a href=\"/zel/Page122/s=2\">ACTIVATE</a>\nSUSPEND\n"
             "<a href=\"/zel/Page123/s=2\">DELETE</a>\n</font>\n"));

    // The sender may see his own request, whatever the case of the address.
    box.write(kSpool + "destinations/5551234/cf7-1", "");
    r = get("/Page104/s=1", "clerk");
    EXPECT_NE(r.out.find("\nNew</td></tr>"), std::string::npos);
    EXPECT_NE(r.out.find("size=4 color=\"#C57733\">\nACTIVATE\n<a href=\"/zel/Page121/s=1\">"
                         "SUSPEND</a>\nDELETE\n</font>\n"),
              std::string::npos)
        << r.out;

    // No "s=" is slot 0, the header record.
    r = get("/Page104", "admin");
    EXPECT_NE(r.out.find("<td align=right>0</td></tr>\n<tr><td><i>Status</i></td><td "
                         "align=center>\n\?\?\?</td></tr>"),
              std::string::npos);

    // The message gives readslot's code: SLOT_SHORT beyond the last record,
    // SLOT_NOSEEK for a number out of range.
    const struct {
        const char* path;
        std::string message;
    } unreadable[] = {
        {"/Page104/s=50", "slot 50 (-3)"},
        {"/Page104/s=-3", "slot -3 (-2)"},
        {"/Page104/s=99999999999", "slot 99999999999 (-2)"},
    };
    for (const auto& u : unreadable)
        EXPECT_EQ(get(u.path, "admin").out,
                  page("Request Status", "HXreqstatus",
                       "<center><p>Cannot access information on " + u.message + ".</center>\n"))
            << u.path;
}

TEST_F(QueuePagesTest, PagesByRequestIdBothWays)
{
    std::vector<StatusSlot> records;
    for (unsigned i = 0; i < 30; ++i)
        records.push_back(request(100 + i, i, SLOT_WAITING, "x@example.com"));
    writedb(box, records);
    auto ids = [](unsigned from, unsigned to) {
        std::vector<std::string> list;
        for (unsigned i = from + 1; i-- > to;)
            list.push_back(std::to_string(100 + i) + "-" + std::to_string(i));
        return list;
    };

    RunResult r = get("/Page102", "admin");
    EXPECT_EQ(listed(r.out), ids(29, 5));
    EXPECT_EQ(paging(r.out),
              "<center><font size=2><p>(0 newer requests; 5 older requests)</font><p>\n"
              "<a href=\"/zel/Page102/dn=105/r=5/\">Previous 5 requests.</a>&nbsp;&nbsp;");

    r = get("/Page102/dn=105/r=5/", "admin");
    EXPECT_EQ(listed(r.out), ids(4, 0));
    EXPECT_EQ(paging(r.out),
              "<center><font size=2><p>(25 newer requests; 0 older requests)</font><p>\n"
              "<a href=\"/zel/Page102/up=104/r=4/\">Next 25 requests.</a>&nbsp;&nbsp;"
              "<a href=\"/zel/Page102\">Most recent 25 requests.</a>&nbsp;&nbsp;");

    r = get("/Page102/up=104/r=4/", "admin");
    EXPECT_EQ(listed(r.out), ids(29, 5));
    EXPECT_EQ(paging(r.out),
              "<center><font size=2><p>(0 newer requests; 5 older requests)</font><p>\n"
              "<a href=\"/zel/Page102/dn=105/r=5/\">Previous 5 requests.</a>&nbsp;&nbsp;"
              "<a href=\"/zel/Page102\">Most recent 25 requests.</a>&nbsp;&nbsp;");
}

TEST_F(QueuePagesTest, EscapesFieldsThatFillTheirWidth)
{
    const std::string sender = "<b>evil@example.com";
    StatusSlot r = request(5, 5, SLOT_NEW, sender);
    // Each fills its field exactly; the next field follows without a NUL.
    const std::string wide40 = "<script>alert('x')</script>&\"0123456789X";
    const std::string wide24 = "<i>'n'&\"</i>0123456789AB";
    ASSERT_EQ(wide40.size(), 40u);
    ASSERT_EQ(wide24.size(), 24u);
    fill(r.handle, "HANDLE-FOLLOWS-SENDER");
    fill(r.recipient, wide24);
    fill(r.company, wide24);
    fill(r.subject, wide24);
    fill(r.dialled, wide24);
    StatusSlot wide = r;
    fill(wide.sender, wide40);
    writedb(box, {r, wide});
    const std::string e40 = "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;0123456789X";
    const std::string e24 = "&lt;i&gt;&#39;n&#39;&amp;&quot;&lt;/i&gt;0123456789AB";

    RunResult list = get("/Page102", "admin");
    EXPECT_NE(
        list.out.find("<td>" + e40 + "</td><td>New</td><td>" + e24 + "<br>" + e24 + "<br>" + e24),
        std::string::npos)
        << list.out;
    EXPECT_EQ(list.out.find("<script"), std::string::npos);
    EXPECT_EQ(list.out.find("HANDLE"), std::string::npos);

    RunResult detail = get("/Page104/s=2", "admin");
    EXPECT_NE(detail.out.find("<i>Sender</i></td><td align=center>" + e40 +
                              "</td></tr>\n<tr><td>"
                              "<i>Request Handle</i></td><td align=center>HANDLE-FOLLOWS-SENDE<"),
              std::string::npos)
        << detail.out;
    EXPECT_NE(
        detail.out.find("<i>Subject</i></td><td align=center>" + e24 + "</td></tr>\n</table>"),
        std::string::npos);

    // The user's own address is escaped in the headings too.
    const std::string mine = "&lt;b&gt;evil@example.com";
    EXPECT_NE(get("/Page102", "evil").out.find("Queued Requests for <i>" + mine + "</i></center>"),
              std::string::npos);
    EXPECT_NE(get("/Page101", "evil").out.find("<th>for user<br>" + mine + "</th>\n"),
              std::string::npos);
}

TEST_F(QueuePagesTest, StatisticsForSystemAndUser)
{
    time_t now = time(nullptr);
    auto at = [&](unsigned major, int state, const char* sender, long queued, long changed) {
        StatusSlot r = request(major, 0, state, sender);
        r.timequeued = static_cast<std::uint32_t>(now - queued);
        r.timechanged = static_cast<std::uint32_t>(now - changed);
        return r;
    };
    writedb(box, {at(1, SLOT_NEW, "clerk@example.com", 2 * 86400, 0),
                  at(2, SLOT_ACTIVE, "other@example.com", 600, 60),
                  at(3, SLOT_SUSPENDED, "clerk@example.com", 600, 60),
                  at(4, SLOT_SENT, "clerk@example.com", 3 * 3600, 2 * 3600),
                  at(5, SLOT_SENT, "other@example.com", 3600, 600),
                  at(6, SLOT_FAILED, "other@example.com", 3600, 600),
                  at(7, SLOT_REACTIVATED, "CLERK@example.com", 600, 60)});
    time_t since = now - 2 * 86400;
    struct tm tm;
    char ctimetext[64];
    asctime_r(gmtime_r(&since, &tm), ctimetext);

    auto head = [&](int columns, const std::string& from) {
        return "<p><table align=center cellpadding=4 cellspacing=4 border=1><COLGROUP><col><col "
               "align=center><col align=center><thead><tr><th colspan=" +
               std::to_string(columns) + ">Cumulative Queue Statistics since<br><i>" + from +
               "</i></th></tr>\n<tr><th>Category</th>";
    };
    EXPECT_EQ(get("/Page101", "clerk").out,
              page("Queue Statistics", "HXqueuestat",
                   head(3, ctimetext) +
                       "<th>for user<br>Clerk@Example.com</th>\n<th>for system</th></tr>"
                       "<tbody><tr><td>Active</td><td>0</td><td>1</td></tr>\n"
                       "<tr><td>Waiting</td><td>2</td><td>2</td></tr>\n"
                       "<tr><td>Suspended</td><td>1</td><td>1</td></tr>\n"
                       "<tr><td>Sent <i>last hour</i></td><td>0</td><td>1</td></tr>\n"
                       "<tr><td>Sent <i>last day</i></td><td>1</td><td>1</td></tr>\n"
                       "<tr><td>Sent <i>since ...</i></td><td>1</td><td>2</td></tr>\n"
                       "<tr><td>Failed <i>last hour</i></td><td>0</td><td>1</td></tr>\n"
                       "<tr><td>Failed <i>last day</i></td><td>0</td><td>0</td></tr>\n"
                       "<tr><td>Failed <i>since ...</i></td><td>0</td><td>1</td></tr>\n"
                       "</table>"));

    // No database: nothing counted since the end of the 32-bit clock, and
    // no rows for the last hour or day.
    box.remove(kSpool + "status.db");
    box.remove(kSpool + "status.bm");
    RunResult empty = get("/Page101", "admin");
    EXPECT_NE(empty.out.find(head(2, "Tue Jan 19 03:14:07 2038\n") +
                             "<th>for system</th></tr>"
                             "<tbody><tr><td>Active</td><td>0</td></tr>\n"),
              std::string::npos);
    EXPECT_EQ(empty.out.find("last"), std::string::npos);
}

TEST_F(QueuePagesTest, OperationsShowWhatTheToolPrinted)
{
    writedb(box, smallqueue());
    // A tool that answers with its own command line, markup and all.
    box.write("opt/vantrel/lib/quectl", "#!/bin/sh\necho \"<b>$*</b> & done\"\n", 0755);
    const struct {
        const char* number;
        const char* title;
        const char* helpid;
        const char* option;
    } operations[] = {
        {"121", "Suspend Request", "HXreqsuspend", "-s"},
        {"122", "Activate Request", "HXreqactivate", "-a"},
        {"123", "Delete Request", "HXreqdelete", "-d"},
    };
    for (const auto& op : operations) {
        RunResult r = get(std::string("/Page") + op.number + "/s=2", "admin");
        EXPECT_EQ(r.out, page(op.title, op.helpid,
                              std::string("<h1>") + op.title + "</h1>\n<b>" + op.option +
                                  " -n 2</b> & done\n\n"))
            << op.number;
    }
    EXPECT_EQ(get("/Page123/s=9", "clerk").out,
              page("Delete Request", "HXreqdelete",
                   "<h1>Delete Request</h1>\n<center><p>Cannot access information on slot 9 "
                   "(-3).</center>\n"));
}

TEST_F(QueuePagesTest, SuspendAndActivateThroughQuectl)
{
    writedb(box, smallqueue());
    box.write(kSpool + "destinations/5551234/cf7-1", "destination = 5551234\n");
    box.write("opt/vantrel/lib/.keep", "");
    ASSERT_EQ(symlink(tool_path("quectl").c_str(), box.path("opt/vantrel/lib/quectl").c_str()), 0);
    const std::string cf = kSpool + "destinations/5551234/cf7-1";
    const std::string sf = kSpool + "destinations/5551234/sf7-1";

    // Silent success: the page holds only its heading.
    EXPECT_EQ(get("/Page121/s=1", "clerk").out,
              page("Suspend Request", "HXreqsuspend", "<h1>Suspend Request</h1>\n"));
    EXPECT_TRUE(box.exists(sf));
    EXPECT_FALSE(box.exists(cf));
    EXPECT_NE(get("/Page104/s=1", "clerk").out.find("\nSuspended</td></tr>"), std::string::npos);

    EXPECT_EQ(get("/Page122/s=1", "clerk").out,
              page("Activate Request", "HXreqactivate", "<h1>Activate Request</h1>\n"));
    EXPECT_TRUE(box.exists(cf));
    EXPECT_FALSE(box.exists(sf));
}
