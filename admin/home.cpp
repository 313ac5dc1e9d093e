#include "admin/home.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <sys/utsname.h>
#include <unistd.h>

#include "admin/daemon.h"
#include "admin/images.h"
#include "admin/linefile.h"
#include "lib/config.h"
#include "lib/if_blank.h"
#include "lib/usersfile.h"
#include "lib/version.h"
#include "www/wwwauth.h"
#include "www/wwwputhtml.h"

namespace {

constexpr const char* TITLE = "Vantrel Image Messaging Software";
constexpr const char* FONT = "Arial,Helvetica,sans-serif";
constexpr const char* MODULE_NAME = "zeladmin home pages";

// ---- Images -----------------------------------------------------------------

constexpr int IMAGE_GIF = 1;
constexpr int IMAGE_JPEG = 2;

struct ImageEntry {
    const unsigned char* bytes;
    int32_t length;
    int32_t kind;
};

const ImageEntry images[] = {
    {nullptr, 0, 0},
    {logo_gif, static_cast<int32_t>(LOGO_GIF_SIZE), IMAGE_GIF},
    {home_jpeg, static_cast<int32_t>(HOME_JPEG_SIZE), IMAGE_JPEG},
};
constexpr long IMAGE_COUNT = sizeof images / sizeof images[0] - 1;

// ---- Home page alerts -------------------------------------------------------

bool missing_identification()
{
    const char* name = get_config("company-name");
    return if_blank(name) || strcmp(name, "Your Company Name Here") == 0 ||
           if_blank(get_config("company-phone")) || if_blank(get_config("company-fax"));
}

void identification_item()
{
    putline("<p><li><a href=\"$SCRIPT_NAME/Page6\">Missing identification information.</a>");
}

bool admin_account_incomplete()
{
    return authuser && strcmp(authuser, "admin") == 0 &&
           (usersfile_adminblankpassword() || usersfile_adminblankemail());
}

void admin_account_items()
{
    if (usersfile_adminblankpassword())
        putline("<p><li><a href=\"$SCRIPT_NAME/Page3\">Missing admin account password.</a>");
    if (usersfile_adminblankemail())
        putline("<p><li><a href=\"$SCRIPT_NAME/Page3\">Missing admin from-email address.</a>");
}

// No line, or the first line's device is not a usable character device.
bool missing_faxmodem() { return faxmodemmissing(); }

void faxmodem_item()
{
    putline("<p><li><a href=\"$SCRIPT_NAME/Page20\">Missing fax modem information.</a>");
}

bool scheduler_stopped() { return !schedulerrunning(); }

void scheduler_item()
{
    putline("<p><li><a href=\"$SCRIPT_NAME/Page30\">Non-running dialq daemon.</a>");
}

bool email_unconfigured() { return if_blank(get_config("email-config")); }

void email_item()
{
    putline("<p><li><a href=\"$SCRIPT_NAME/Page40\">Email server configuration.</a>");
}

struct Alert {
    bool (*fires)();
    void (*items)();
};

// In the order the box lists them.
constexpr Alert alerts[] = {
    {missing_identification, identification_item},
    {missing_faxmodem, faxmodem_item},
    {admin_account_incomplete, admin_account_items},
    {scheduler_stopped, scheduler_item},
    {email_unconfigured, email_item},
};

const char* const ALERT_BOX[] = {
    "<table><tr><td width=\"30%\">",
    "<table border=1 cellpadding=6><tr><td><p><font size=5 color=\"#ff0000\" "
    "face=\"Arial,Helvetica,sans-serif\">",
    "<center>Configuration Alerts!</center></font>",
    "<p>There are a few remaining configuration tasks remaining before ",
    "you can start using your Vantrel Messaging system. Please click ",
    "on the following items in order to obtain more information on what ",
    "is required in order to complete your system configuration.",
    "<p>",
    nullptr,
};

int write_alerts()
{
    int count = 0;
    for (const Alert& alert : alerts) {
        if (!alert.fires())
            continue;
        if (count++ == 0)
            putlines(ALERT_BOX);
        alert.items();
    }
    if (count) {
        putline("<p></table></td>");
        putline("<td>");
    }
    return count;
}

// The site's own introduction, copied as it stands; 1 when shown.
int write_prolog()
{
    const char* path = get_config("zel-prolog");
    if (!path)
        return 0;
    FILE* file = fopen(path, "r");
    if (!file)
        return 0;
    putline("<table><tr><td width=\"30%\">");
    putline("<table border=1 cellpadding=6><tr><td>");
    char block[8192];
    std::size_t n;
    while ((n = fread(block, 1, sizeof block, file)) > 0)
        puttext(std::string_view(block, n));
    fclose(file);
    putline("<p></table></td>");
    putline("<td>");
    return 1;
}

// ---- Home page menu ---------------------------------------------------------

bool everyone() { return true; }
bool route_users() { return hasprivilege("admin") || hasprivilege("postmaster"); }
bool administrators() { return hasprivilege("admin"); }
bool others() { return !hasprivilege("admin"); }

struct MenuEntry {
    const char* group;
    const char* label;
    const char* link; // null: the user's own received faxes
    bool (*shown)();
};

constexpr MenuEntry menu[] = {
    {"Route", "Unrouted Received Faxes", "/tarnixfwg.cgi/-s/-u/unclaimed", route_users},
    {"Manage", "Fax Queue", "$SCRIPT_NAME/Page102", everyone},
    {"View", "Your Received Faxes", nullptr, everyone},
    {"View", "Fax Daemon Status", "$SCRIPT_NAME/Page30", everyone},
    {"View", "Fax Line Status", "$SCRIPT_NAME/Page103", everyone},
    {"View", "Fax Queue Statistics", "$SCRIPT_NAME/Page101", everyone},
    {"View", "System Log", "$SCRIPT_NAME/Page91", everyone},
    {"View", "Accounting Log", "$SCRIPT_NAME/Page92", everyone},
    {"View", "Software Version", "$SCRIPT_NAME/page2", everyone},
    {"View", "Software Documentation", "$SCRIPT_NAME/../manual/index.html", everyone},
    {"Configure", "Email Server", "$SCRIPT_NAME/Page40", administrators},
    {"Configure", "Fax Server", "$SCRIPT_NAME/Page6", administrators},
    {"Configure", "Fax Lines", "$SCRIPT_NAME/Page20", administrators},
    {"Configure", "User Accounts", "$SCRIPT_NAME/Page4", administrators},
    {"Configure", "Your Account", "$SCRIPT_NAME/Page3", others},
    {"Download", "Windows Print Driver", "$SCRIPT_NAME/page9", everyone},
};

// The account name as one path segment: anything but the unreserved
// characters is percent-encoded, so the link cannot leave its path and
// needs no further escaping inside the attribute.
std::string pathsegment(const char* text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (isalnum(*p) || strchr("-._~", *p)) {
            out += static_cast<char>(*p);
        } else {
            out += '%';
            out += hex[*p >> 4];
            out += hex[*p & 15];
        }
    }
    return out;
}

void write_entry(const MenuEntry& entry, bool last)
{
    putf("<font size=4 face=\"%s\">\n", FONT);
    const char* end = last ? "</font></td></tr>" : "</font><br>";
    if (entry.link) {
        std::string line =
            std::string("<a href=\"") + entry.link + "\">" + entry.label + "</a>" + end;
        putline(line.c_str());
    } else {
        putf("<a href=\"/tarnixfwg.cgi/-s/-u/%s\">%s</a>%s\n",
             pathsegment(authuser ? authuser : "").c_str(), entry.label, end);
    }
}

void write_menu()
{
    putline("<table align=center border=1 cellpadding=4>");
    constexpr std::size_t n = sizeof menu / sizeof menu[0];
    for (std::size_t first = 0; first < n;) {
        std::size_t end = first;
        while (end < n && strcmp(menu[end].group, menu[first].group) == 0)
            ++end;
        const MenuEntry* shown[n];
        std::size_t count = 0;
        for (std::size_t i = first; i < end; ++i)
            if (menu[i].shown())
                shown[count++] = &menu[i];
        if (count) {
            putf("<tr><td><font size=5 color=\"#0000ff\" face=\"%s\">%s</font></td>\n", FONT,
                 menu[first].group);
            putline("<td nowrap>");
            for (std::size_t i = 0; i < count; ++i)
                write_entry(*shown[i], i + 1 == count);
        }
        first = end;
    }
    putline("</table>");
}

// ---- Notices ----------------------------------------------------------------

void write_notice()
{
    putf("<p><font size=1>Vantrel and Image Messaging Software are trademarks of "
         "<a href=\"%s\">Vantrel</a>\n",
         MAKER_URL);
    putline("Technologies. All other product names are trademarks of their respective owners.<br>");
    putf("Copyright &copy; Vantrel Technologies (<a href=\"%s\">www.vantrel.com</a>). "
         "All rights reserved.</font>\n",
         MAKER_URL);
}

// "2.0.35" as the maker's web site writes it in paths.
std::string dashed_version()
{
    std::string text = ZEL_VERSION;
    for (char& c : text)
        if (c == '.')
            c = '-';
    return text;
}

} // namespace

// ---- Interfaces ---------------------------------------------------------------

void home_footer()
{
    write_notice();
    // Through the program's own path, as the page footer does, so the
    // link works wherever the server mounts the program.
    putline("<a href=\"$SCRIPT_NAME/logoff\">Log off</a>");
    putline("</BODY></HTML>");
}

void start_screen()
{
    putpagehead("%s", TITLE);
    putline("<center><table border=4 cellspacing=10 cellpadding=10><tr><td align=center>");
    putline("<a href=\"$SCRIPT_NAME/Page1\"><img src=\"$SCRIPT_NAME/page-1\" "
            "alt=\"Vantrel Logo\" border=0></a><font size=2>&reg;</font><br>");
    putline("<font size=6 color=\"#0000ff\">Image Messaging Software</font>");
    putline("</td></tr></table></center>");
    putline("<P><center><font size=4>To start, click on the logo above.</font><p>");
    if (usersfile_adminblankpassword()) {
        putline("<font size=2>If asked for a User Name, enter <i>admin</i> ");
        putline("(with no password).</font></center>");
    }
    putline("<center><form action=\"/help.cgi\" method=put>");
    putline("<input type=submit name=\"HXstartscreen\" value=\"Help!\">");
    putline("</form></center>");
    putline("</BODY></HTML>");
}

void HXhomepage()
{
    putpagehead("%s", TITLE);
    putbanner("HXhomepage");
    int count = write_alerts();
    if (count == 0)
        count = write_prolog();
    write_menu();
    putf("<!-- %s%s\n%s, release %s\n  -->\n", ZEL_BUILD_DATE, ZEL_BUILD_TIME, MODULE_NAME,
         ZEL_VERSION);
    if (count)
        putline("</td></tr></table>");
    home_footer();
}

void HXversion()
{
    putpagehead("%s - Version Info", TITLE);
    putbanner("HXversion");
    putline("<h1>ZEL Version</h1><table border=2 align=center>");
    putf("<tr><td>Package</td><td>%s</td></tr>\n", TITLE);
    putf("<tr><td>Version</td><td>%s</td>\n", ZEL_VERSION);
    putf("<tr><td>Compiled</td><td>%s %s</td>\n", ZEL_BUILD_DATE, ZEL_BUILD_TIME);
    putline("</table>");
    putf("<p>To find out whether a newer version is available, visit the "
         "<a href=\"%szel/versions/%s.html\">Vantrel web site</a>.\n",
         MAKER_URL, dashed_version().c_str());
    putfooter();
}

void HXdownload()
{
    putpagehead("%s - Download", TITLE);
    putbanner("HXdownload");
    putline("<h1>ZEL Software Download</h1>");
    struct utsname host;
    std::string node = uname(&host) == 0 ? host.nodename : "";
    putf("<p>New versions and updates of this software are available from the Vantrel web "
         "site:\n<p><a href=\"%scgi-bin/zeldownload/-n/%s/-b/%s/-f/zel/-p/linux\">"
         "ZEL Software and Update Download Page</a>\n",
         MAKER_URL, htmlescape(node).c_str(), dashed_version().c_str());
    putfooter();
}

void HXwpt()
{
    putpagehead("%s - Download Windows Print Driver", TITLE);
    putbanner("HXwpt");
    putline("<h1>ZEL Windows Print Driver</h1>");
    putline("<p>The Windows Print Driver lets any Windows application print to fax: a document "
            "printed to it is sent as a fax through this server.");
    putline("<p>The driver is not needed for plain text messages, which can be sent without it.");
    putline("<p>You can download the driver from the Vantrel web site or from this server:");
    putline("<font face=\"Arial,Helvetica\" size=4>");
    putline("<p><a href=\"$SCRIPT_NAME/REVUZAZ.EXE\">");
    putline("Windows Print Driver from your local ZEL server</a>");
    putline("</font>");
    putf("<p><a href=\"%szel/download/REVUZAZ/\">The Windows Print Driver on the Vantrel web "
         "site</a>\n",
         MAKER_URL);
}

long imagecount() { return IMAGE_COUNT; }

int serve_image(long number)
{
    if (number <= 0 || number > IMAGE_COUNT)
        return -1;
    const ImageEntry& image = images[number];
    putheaders();
    // An image, not a page: its own header, then its bytes unbuffered.
    std::fputs(image.kind == IMAGE_GIF ? "Content-type: image/gif\r\n\r\n"
                                       : "Content-type: image/jpeg\r\n\r\n",
               stdout);
    std::fflush(stdout);
    ssize_t written = write(STDOUT_FILENO, image.bytes, static_cast<std::size_t>(image.length));
    return written < image.length ? 1 : 0;
}
