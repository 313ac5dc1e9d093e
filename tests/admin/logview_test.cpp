// The system log and accounting log pages, paged backwards and forwards
// over logs of different sizes and shapes, and the pager's bounds on
// lines longer than its search may scan.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "admin/logview.h"
#include "tests/cgi.h"
#include "tests/harness.h"
#include "tests/pagetext.h"

using namespace pagetext;

namespace {

const std::string kSysHead = "<h1>ZEL System Log</h1><table border=1><tr><th>Date</th><th>Time</th>"
                             "<th>Module</th><th>PID</th><th>Message</th></tr>";
const std::string kAcctHead =
    "<h1>ZEL Accounting Log</h1><table border=1><tr><th>Op</th><th>Timestamp</th>"
    "<th>From</th><th>To</th><th>Fax Line</th><th>Duration</th><th>Pages</th>"
    "<th>Status</th><th>ID</th></tr>";
const std::string kComment =
    "<!-- Sep  2 200313:29:06\nzeladmin log viewers, release 2.0.35\n  -->\n";
const char* const kAcct = "var/opt/vantrel/acct";

std::string sysline(int i)
{
    char line[96];
    std::snprintf(line, sizeof line, "09/02/03 13:29:%02d: zeladmin[%d,0]: message %d\n", i % 60,
                  1000 + i, i);
    return line;
}

std::string sysrow(int i)
{
    char row[160];
    std::snprintf(
        row, sizeof row,
        "<tr><td>09/02/03</td><td>13:29:%02d:</td><td>zeladmin</td><td>%d</td><td>\nmessage "
        "%d</td></tr>\n",
        i % 60, 1000 + i, i);
    return row;
}

std::string syslog(int lines)
{
    std::string text;
    for (int i = 1; i <= lines; ++i)
        text += sysline(i);
    return text;
}

// The byte offset of line i (from 1) of syslog().
std::string at(int i) { return std::to_string(syslog(i - 1).size()); }

std::string sysrows(int from, int to)
{
    std::string rows;
    for (int i = from; i <= to; ++i)
        rows += sysrow(i);
    return rows;
}

std::string prev(const std::string& offset, int page = 91)
{
    return "<p><a href=\"/z/Page" + std::to_string(page) + "/o=" + offset +
           "/l=-20\">Previous 20 Lines</a>";
}

std::string next(const std::string& offset, int page = 91)
{
    return "&nbsp;&nbsp;<a href=\"/z/Page" + std::to_string(page) + "/o=" + offset +
           "/l=20\">Next 20 Lines</a>";
}

std::string syspage(const std::string& rows, const std::string& links = "")
{
    return framed("System Log", "HXsyslog", kSysHead + rows + "</table>" + links + kComment, "/z");
}

std::string acctpage(const std::string& rows, const std::string& links = "")
{
    return framed("Accounting Log", "HXacctlog", kAcctHead + rows + "</table>" + links, "/z");
}

class LogviewTest : public SandboxTest {
protected:
    std::string get(const std::string& path) const
    {
        RunResult r = cgi::zeladmin(box, cgi::get(path, {"SCRIPT_NAME=/z"}));
        EXPECT_EQ(r.status, 0) << path;
        return r.out;
    }
};

// What readlines hands over, for the tests that call it directly.
std::vector<std::string> seen;
void collect(std::string_view line) { seen.emplace_back(line); }

} // namespace

TEST_F(LogviewTest, SmallLogsShowEverythingWithoutLinks)
{
    EXPECT_EQ(get("/Page91"), syspage(""));
    box.remove(Sandbox::kLog);
    EXPECT_EQ(get("/Page91"), syspage(""));
    box.write(Sandbox::kLog, syslog(5));
    EXPECT_EQ(get("/Page91"), syspage(sysrows(1, 5)));
    EXPECT_EQ(get("/Page91/o=0/l=20"), syspage(sysrows(1, 5)));
}

TEST_F(LogviewTest, FortyFiveLinesPageBackAndForth)
{
    box.write(Sandbox::kLog, syslog(45));
    EXPECT_EQ(get("/Page91"), syspage(sysrows(26, 45), prev(at(26))));
    EXPECT_EQ(get("/Page91/o=" + at(26) + "/l=-20"),
              syspage(sysrows(6, 25), prev(at(6)) + next(at(26))));
    EXPECT_EQ(get("/Page91/o=" + at(26) + "/l=20"), syspage(sysrows(26, 45), prev(at(26))));
    // The first page has only a way forwards.
    EXPECT_EQ(get("/Page91/o=" + at(6) + "/l=-20"), syspage(sysrows(1, 5), next(at(6))));
    EXPECT_EQ(get("/Page91/o=0/l=20"), syspage(sysrows(1, 20), next(at(21))));
    EXPECT_EQ(get("/Page91/l=5"), syspage(sysrows(41, 45), prev(at(41))));
    // An offset inside a line: backwards only complete lines before it,
    // forwards the rest of that line first.
    std::string inside = std::to_string(std::stoi(at(26)) + 3);
    EXPECT_EQ(get("/Page91/o=" + inside + "/l=-20"),
              syspage(sysrows(6, 25), prev(at(6)) + next(inside)));
    EXPECT_EQ(
        get("/Page91/o=" + inside + "/l=1"),
        syspage("<tr><td>02/03</td><td>13:29:26:</td><td>zeladmin</td><td>1026</td><td>\nmessage "
                "26</td></tr>\n",
                prev(inside) + next(at(27))));
}

TEST_F(LogviewTest, ManyLinesFromEndMiddleAndStart)
{
    box.write(Sandbox::kLog, syslog(10000));
    EXPECT_EQ(get("/Page91"), syspage(sysrows(9981, 10000), prev(at(9981))));
    EXPECT_EQ(get("/Page91/o=" + at(5001) + "/l=-20"),
              syspage(sysrows(4981, 5000), prev(at(4981)) + next(at(5001))));
    EXPECT_EQ(get("/Page91/o=" + at(5001) + "/l=20"),
              syspage(sysrows(5001, 5020), prev(at(5001)) + next(at(5021))));
}

TEST_F(LogviewTest, OffsetsOutsideTheFileGiveAnEmptyPage)
{
    box.write(Sandbox::kLog, syslog(45));
    std::string size = std::to_string(syslog(45).size());
    for (const std::string& path : std::vector<std::string>{
             "/Page91/o=-2", "/Page91/o=" + size + "1/l=-20", "/Page91/o=99999999999999999999999",
             "/Page91/o=-99999999999999999999999/l=20", "/Page91/l=0"})
        EXPECT_EQ(get(path), syspage("")) << path;
    // Not a number: the default.  More than a page: a page.
    EXPECT_EQ(get("/Page91/o=abc/l=x"), syspage(sysrows(26, 45), prev(at(26))));
    EXPECT_EQ(get("/Page91/o=" + at(45) + "/l=-99999999999999999999"),
              syspage(sysrows(25, 44), prev(at(25)) + next(at(45))));
    EXPECT_EQ(get("/Page91/o=" + size + "/l=20"), syspage("", prev(size)));
}

TEST_F(LogviewTest, LastLineWithoutNewline)
{
    std::string text = syslog(3) + "09/02/03 13:29:04: zeladmin[1004,0]: message 4";
    box.write(Sandbox::kLog, text);
    EXPECT_EQ(get("/Page91"), syspage(sysrows(1, 3)));
    EXPECT_EQ(get("/Page91/o=0/l=20"), syspage(sysrows(1, 4)));
    EXPECT_EQ(get("/Page91/o=" + at(2) + "/l=1"),
              syspage(sysrows(2, 2), prev(at(2)) + next(at(3))));
}

TEST_F(LogviewTest, LinesLongerThanTheWindow)
{
    std::string longmessage(3000, 'm');
    std::string huge(9000, 'h');
    box.write(Sandbox::kLog, sysline(1) + "09/02/03 13:29:02: zeladmin[1002,0]: " + longmessage +
                                 "\n" + sysline(3) + huge + "\n" + sysline(5));
    std::string row2 =
        "<tr><td>09/02/03</td><td>13:29:02:</td><td>zeladmin</td><td>1002</td><td>\n" +
        longmessage + "</td></tr>\n";
    // A line past 8192 bytes is cut; as a date alone it makes a row of one cell.
    std::string row4 = "<tr><td>" + huge.substr(0, READLINES_MAX_LINE) + "</td></tr>\n";
    EXPECT_EQ(get("/Page91"), syspage(sysrow(1) + row2 + sysrow(3) + row4 + sysrow(5)));
    std::string line4 =
        std::to_string(sysline(1).size() + 38 + longmessage.size() + sysline(3).size());
    EXPECT_EQ(get("/Page91/l=-2"), syspage(row4 + sysrow(5), prev(line4)));
}

TEST(LogviewReadLines, SearchBudgetBoundsAHugeLine)
{
    Sandbox box;
    std::string giant(4000000, 'x');
    box.write("log", "a\n" + giant + "\nb\n");
    std::string path = box.path("log");
    off_t size = static_cast<off_t>(giant.size() + 5);
    LineRange r;

    seen.clear();
    ASSERT_EQ(readlines(path.c_str(), -1, -20, &r, collect), 1);
    off_t stop = size - READLINES_SCAN_LIMIT;
    EXPECT_EQ(r.first, stop);
    EXPECT_EQ(r.end, size);
    EXPECT_EQ(r.size, size);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::string(READLINES_MAX_LINE, 'x'));
    EXPECT_EQ(seen[1], "b");

    // Paging on from there makes progress and reaches the start.
    seen.clear();
    ASSERT_EQ(readlines(path.c_str(), stop, -20, &r, collect), 1);
    EXPECT_EQ(r.first, 0);
    EXPECT_EQ(seen, std::vector<std::string>{"a"});

    seen.clear();
    ASSERT_EQ(readlines(path.c_str(), 0, 20, &r, collect), 1);
    EXPECT_EQ(r.end, READLINES_SCAN_LIMIT);
    EXPECT_EQ(seen.size(), 2u);

    seen.clear();
    EXPECT_EQ(readlines(box.path("").c_str(), -1, -20, &r, collect), 0);
    EXPECT_EQ(readlines(path.c_str(), -1, 0, &r, collect), 0);
    EXPECT_TRUE(seen.empty());
}

TEST_F(LogviewTest, SystemLogRowsAreEscaped)
{
    box.write(Sandbox::kLog,
              "09/02/03 13:29:01: zeladmin[7,3]: <script>alert('x')</script> a|b & c\n"
              "09/02/03 13:29:02: <img src=x>[8,0]: m\n"
              "\n"
              "justadate\n"
              "a b c\n"
              "09/02/03 13:29:03: zeladmin[77]: Above message repeated 2 times\n");
    EXPECT_EQ(
        get("/Page91"),
        syspage("<tr><td>09/02/03</td><td>13:29:01:</td><td>zeladmin</td><td>7</td><td>\n"
                "&lt;script&gt;alert('x')&lt;/script&gt; a<br>b &amp; c</td></tr>\n"
                "<tr><td>09/02/03</td><td>13:29:02:</td><td>&lt;img</td><td>src=x&gt;</td><td>\n"
                "m</td></tr>\n"
                "<tr><td>justadate</td></tr>\n"
                "<tr><td>a</td><td>b</td><td>c</td></tr>\n"
                "<tr><td>09/02/03</td><td>13:29:03:</td><td>zeladmin</td><td>77]</td><td>\n"
                "message repeated 2 times</td></tr>\n"));
}

TEST_F(LogviewTest, AccountingRowsAndLinks)
{
    std::string hostile = "S 555-0100 ttyS0 555-0199 09/02/03 13:00:01 45 3 OK x 17 "
                          "\"<script>alert(1)</script>\" \"\" '\"&' 14\n";
    std::string lines = hostile + "R\n";
    // More fields than the limit: the rest joins nothing.
    for (int i = 0; i < 25; ++i)
        lines += std::to_string(i) + (i < 24 ? " " : "\n");
    box.write(kAcct, lines);
    std::string rows =
        "<tr><td>S</td><td>09/02/03 13:00:01</td><td>555-0100<br>&lt;script&gt;alert(1)&lt;/script&gt;</td>"
        "<td>555-0199<br>&quot;&amp;</td><td>ttyS0</td><td>45</td><td>3</td><td>OK</td><td>17<br>14</td></tr>\n"
        "<tr><td>R</td><td> </td><td></td><td></td><td></td><td></td><td></td><td></td><td></td></tr>\n"
        "<tr><td>0</td><td>4 5</td><td>1<br>11</td><td>3<br>12<br>13</td><td>2</td><td>6</td><td>7</td>"
        "<td>8</td><td>10<br>14</td></tr>\n";
    EXPECT_EQ(get("/Page92"), acctpage(rows));

    std::string many;
    for (int i = 0; i < 25; ++i)
        many += hostile;
    box.write(kAcct, many);
    std::string page = get("/Page92/o=" + std::to_string(hostile.size()) + "/l=-20");
    std::string row = rows.substr(0, rows.find('\n') + 1);
    EXPECT_EQ(page, acctpage(row, next(std::to_string(hostile.size()), 92)));
    std::string last;
    for (int i = 0; i < 20; ++i)
        last += row;
    EXPECT_EQ(get("/Page92"), acctpage(last, prev(std::to_string(5 * hostile.size()), 92)));
}
