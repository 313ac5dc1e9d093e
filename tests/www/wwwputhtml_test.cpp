#include "www/wwwputhtml.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "lib/config.h"
#include "tests/harness.h"
#include "tests/pagetext.h"

using namespace pagetext;

namespace {

// The frame's bytes as a browser receives them, written out once here: the
// page tests build their frames from the writers themselves (pagetext), so
// these are what a change to the frame meets.
namespace golden {

const std::string kScript =
    "<SCRIPT LANGUAGE=\"JavaScript\">\n"
    "<!--\n"
    "function helpwin(helpurl) {\n"
    "var remote = open(helpurl, \"ZELHELP\", \n"
    "\"height=600,width=600,channelmode=0,dependent=0,directories=0,fullscreen=0,location=0,"
    "menubar=0,resizable=1,scrollbars=1,status=0,toolbar=1\");\n"
    "if (remote.opener == null)\n"
    "remote.opener = window;\n"
    "remote.opener.name = \"Vantrel\";\n"
    "remote.focus();\n"
    "return remote;\n"
    "}\n"
    "// -->\n"
    "</SCRIPT>\n";

const std::string kLink = "<link rev=\"made\" href=\"mailto:support@vantrel.com\">";
const std::string kBody = "<body bgcolor=\"#FFFFFF\">\n";

const std::string kFrame =
    "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"
    "Cache-Control: no-store\r\n";

const std::string kResponseHead =
    kFrame +
    "Content-type: text/html\r\n\n"
    "<html><head>\n<title>Vantrel Image Messaging Software Response</title>\n" +
    kLink + "\n\n" + kScript + "\n</head>\n\n" + kBody;

std::string pagehead(const std::string& title)
{
    return kFrame + "Content-type: text/html\r\n\n<html><head><title>\n" + title + "</title>\n" +
           kLink + "\n\n" + kScript + "\n</head>\n" + kBody;
}

// The banner, with the Help! button of `helpid` ("" none) and the company
// name ("" none); `script` is SCRIPT_NAME as the page links it.
std::string banner(const std::string& helpid, const std::string& script = "",
                   const std::string& company = "")
{
    std::string text = "<table width=\"100%\"><tr><td>\n"
                       "<a href=\"http://www.vantrel.com/\">\n"
                       "<img align=top src=\"" +
                       script +
                       "/page-1\" \n"
                       "alt=\"Vantrel Logo\" border=0></a><font size=2>&reg;</font><br>\n"
                       "<B><FONT FACE=\"Arial,Helvetica\" COLOR=\"#0000ff\"\n"
                       "SIZE=5>Image Messaging Software</FONT></B>\n"
                       "</td><td>\n"
                       "<div align=right>\n";
    if (!company.empty())
        text += "<em>" + company + "</em>";
    if (!helpid.empty())
        text += "<form>\n<input type=\"button\" value=\"Help!\" onClick='helpwin(\"/help.cgi/" +
                helpid + "\")'>\n</form>\n";
    return text + "</div>\n</td></tr></table>\n";
}

std::string footer(const std::string& script = "")
{
    return "<p><table><td><td><a href=\"" + script +
           "/Page1\">\n"
           "<img src=\"" +
           script +
           "/page-2\" alt=\"Home Button\" border=0></a></td>\n"
           "<td><font size=1>Vantrel and Image Messaging Software are trademarks of "
           "<a href=\"http://www.vantrel.com/\">Vantrel</a>\n"
           "Technologies. All other product names are trademarks of their respective owners.<br>\n"
           "Copyright &copy; Vantrel Technologies (<a href=\"http://www.vantrel.com/\">www.vantrel.com</a>).\n"
           " All rights reserved. <a href=\"" +
           script +
           "/logoff\">Log off</a>\n"
           "</td></tr></table>\n"
           "<head><META HTTP-EQUIV=\"PRAGMA\" CONTENT=\"NO-CACHE\"></head>\n"
           "</BODY></HTML>\n";
}

} // namespace golden

std::string expanded(const char* text, std::size_t size = EXPAND_SIZE)
{
    std::string out(size, 'X');
    expandenv(text, out.data(), size);
    return out.c_str();
}

} // namespace

TEST(WwwPutHtmlTest, FirstPuthtmlOpensTheDocumentOnce)
{
    Sandbox box;
    RunResult r = box.run_forked([] {
        unsetenv("SCRIPT_NAME");
        std::printf("%d", headstate());
        puthtml("<p>one %d\n", 1);
        std::printf("%d", headstate());
        puthtml("<p>two %s\n", "$SCRIPT_NAME"); // arguments are not expanded
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0" + golden::kResponseHead + "<p>one 1\n2<p>two $SCRIPT_NAME\n");
}

TEST(WwwPutHtmlTest, PagePutsItsTitleAndTheBodyOnce)
{
    Sandbox box;
    RunResult r = box.run_forked([] {
        putpagehead("Vantrel Image Messaging Software - %s%s", "Security Violation", " ");
        puthtml("<p>text\n");
    });
    EXPECT_EQ(r.out, golden::pagehead("Vantrel Image Messaging Software - Security Violation ") +
                         "<p>text\n");
}

TEST(WwwPutHtmlTest, BannerAndFooter)
{
    Sandbox box;
    box.configure("company-name = \"Smith & Sons\"\n");
    RunResult r = box.run_forked([] {
        config_load_or_exit();
        setenv("SCRIPT_NAME", "/cgi-bin/zeladmin/", 1);
        putbanner("HXhomepage");
        putfooter();
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, golden::banner("HXhomepage", "/cgi-bin/zeladmin", "Smith &amp; Sons") +
                         golden::footer("/cgi-bin/zeladmin"));
}

TEST(WwwPutHtmlTest, BlankCompanyAndNoHelpLeaveTheRightCellEmpty)
{
    for (const char* company : {"", "company-name = \"   \"\n"}) {
        Sandbox box;
        box.configure(company);
        RunResult r = box.run_forked([] {
            config_load_or_exit();
            unsetenv("SCRIPT_NAME");
            putbanner(nullptr);
            putfooter();
        });
        EXPECT_EQ(r.out, golden::banner("") + golden::footer("")) << company;
    }
}

TEST(WwwPutHtmlTest, ExpandEnv)
{
    setenv("ZT_V", "val", 1);
    setenv("ZT_SLASH", "/a/", 1);
    setenv("ZT_ROOT", "/", 1);
    setenv("ZT_ODD", "<a href=\"x'&", 1);
    unsetenv("ZT_UNSET");
    struct Case {
        const char* text;
        const char* want;
    } cases[] = {
        {"plain", "plain"},
        {"$ZT_V", "val"},
        {"<$ZT_V>", "<val>"},
        {"$ZT_V$ZT_V", "valval"},
        {"$ZT_SLASH/Page1", "/a/Page1"},
        {"$ZT_ROOT/x", "/x"},
        {"$ZT_UNSET/x", "/x"},
        {"$ x", " x"},
        {"a$", "a"},
        {"$$ZT_V", "val"},
        {"$ZT_V-1", "val-1"},
        {"$ZT_V_1", ""},
        {"$ZT_ODD", "&lt;a href=&quot;x&#39;&amp;"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(expanded(c.text), c.want) << c.text;

    // A name is at most 127 characters; the rest is text.
    std::string name(127, 'N');
    setenv(name.c_str(), "v", 1);
    EXPECT_EQ(expanded(("$" + name + "Q").c_str()), "vQ");
    unsetenv(name.c_str());
    unsetenv("ZT_V");
    unsetenv("ZT_SLASH");
    unsetenv("ZT_ROOT");
}

TEST(WwwPutHtmlTest, ExpandEnvCutsToTheBuffer)
{
    setenv("ZT_LONG", std::string(600, 'v').c_str(), 1);
    EXPECT_EQ(expanded("ab$ZT_LONG", 8), "abvvvvv");
    EXPECT_EQ(expanded("abcdefghij", 4), "abc");
    EXPECT_EQ(expanded("$ZT_LONG"), std::string(511, 'v'));
    unsetenv("ZT_LONG");
}

TEST(WwwPutHtmlTest, PercentInAValueIsText)
{
    Sandbox box;
    RunResult r = box.run_forked([] {
        puthtml_reset();
        putpagehead(" ");
        setenv("ZT_P", "%s%n%d%", 1);
        puthtml("[$ZT_P|%d]\n", 7);
        // Doubled, 600 percent signs overflow the buffer on an odd byte.
        setenv("ZT_P", std::string(600, '%').c_str(), 1);
        puthtml("$ZT_P%s", "never");
        std::putchar('\n');
        // A cut inside the format's own conversion drops the conversion.
        setenv("ZT_P", std::string(510, 'a').c_str(), 1);
        puthtml("$ZT_P%ld", 5L);
        std::putchar('\n');
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, pagehead(" ") + "[%s%n%d%|7]\n" + std::string(255, '%') + "\n" +
                         std::string(510, 'a') + "\n");
}

TEST(WwwPutHtmlTest, FormattedTextIsNotLimited)
{
    Sandbox box;
    std::string big(3000, 'b');
    RunResult r = box.run_forked([&] {
        putpagehead(" ");
        puthtml("<%s>", big.c_str());
        // Nor is a long text that refers to no variable.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
        puthtml(big.c_str());
#pragma GCC diagnostic pop
        putline(big.c_str());
    });
    EXPECT_EQ(r.out, pagehead(" ") + "<" + big + ">" + big + big + "\n");
}

TEST(WwwPutHtmlTest, ReadyTextAndExpandedText)
{
    static const std::string ready("a $SCRIPT_NAME %s\0b", 19);
    Sandbox box;
    RunResult r = box.run_forked([] {
        setenv("SCRIPT_NAME", "/z/", 1);
        // Ready text opens the document too, and is neither expanded nor
        // cut at a NUL byte.
        puttext(ready);
        putexpanded("|$SCRIPT_NAME/x|");
        setenv("SCRIPT_NAME", std::string(600, 's').c_str(), 1);
        putexpanded("$SCRIPT_NAME");
    });
    EXPECT_EQ(r.out, kResponseHead + ready + "|/z/x|" + std::string(511, 's'));
}

TEST(WwwPutHtmlTest, Errors)
{
    Sandbox box;
    RunResult r = box.run_forked([] {
        putpagehead(" ");
        std::printf("%d\n", errorcount());
        puterrors();
        adderror("first");
        adderror("second");
        std::printf("%d\n", errorcount());
        puterrors();
        clearerrors();
        for (int i = 0; i < MAX_ERRORS + 5; ++i)
            adderror("x");
        std::printf("%d\n", errorcount());
    });
    EXPECT_EQ(r.out, pagehead(" ") +
                         "0\n<p>The following errors have been detected.<p><ul>\n</ul><p>\n"
                         "2\n<p>The following errors have been detected.<p><ul>\n"
                         "<li>first\n<li>second\n</ul><p>\n64\n");
}

TEST(WwwPutHtmlTest, Escaping)
{
    EXPECT_EQ(htmlescape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&#39;f");
    EXPECT_EQ(htmlescape(""), "");
    // Values are looked at many bytes at a time: each character that needs
    // an entity is found at every place of values of every length, the
    // overlapping last bytes included, and bytes near it are left alone.
    for (std::size_t size = 1; size <= 40; ++size) {
        for (std::size_t at = 0; at < size; ++at) {
            for (char c : std::string("&<>\"'")) {
                std::string text(size, 'x');
                text[at] = c;
                std::string want = std::string(at, 'x') + htmlescape(std::string(1, c)) +
                                   std::string(size - at - 1, 'x');
                EXPECT_EQ(htmlescape(text), want) << size << " " << at;
            }
        }
        std::string plain(size, '\xff');
        EXPECT_EQ(htmlescape(plain), plain);
    }
    Sandbox box;
    RunResult r = box.run_forked([] { puthtmlescaped("if a<b && c>d \"q\" 'q'"); });
    EXPECT_EQ(r.out, "if a&lt;b &amp;&amp; c&gt;d \"q\" 'q'");
}
