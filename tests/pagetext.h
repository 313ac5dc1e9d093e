// pagetext: the fixed texts that frame every page, written out here as a
// browser receives them, so page tests can compare whole responses, and
// the frame that most pages share.
#pragma once

#include <string>

namespace pagetext {

inline const std::string kScript =
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

inline const std::string kLink = "<link rev=\"made\" href=\"mailto:support@vantrel.com\">";
inline const std::string kBody = "<body bgcolor=\"#FFFFFF\">\n";

// The header lines that keep every answer out of other sites' frames and
// out of caches.
inline const std::string kFrame =
    "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"
    "Cache-Control: no-store\r\n";

// What the first puthtml of a run sends before its text, without and with
// the frame headers ahead of it.
inline const std::string kDocumentHead =
    "Content-type: text/html\r\n\n"
    "<html><head>\n<title>Vantrel Image Messaging Software Response</title>\n" +
    kLink + "\n\n" + kScript + "\n</head>\n\n" + kBody;
inline const std::string kResponseHead = kFrame + kDocumentHead;

// A page opened with its own title.
inline std::string pagehead(const std::string& title)
{
    return kFrame + "Content-type: text/html\r\n\n<html><head><title>\n" + title + "</title>\n" +
           kLink + "\n\n" + kScript + "\n</head>\n" + kBody;
}

// The banner, with the Help! button of `helpid` ("" none) and the company
// name ("" none); `script` is SCRIPT_NAME as the page links it.
inline std::string banner(const std::string& helpid, const std::string& script = "",
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

inline std::string footer(const std::string& script = "")
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

// The title of the page `name`, as most pages are titled.
inline std::string title(const std::string& name)
{
    return "Vantrel Image Messaging Software - " + name;
}

// A page in the frame most pages share: the head with title(name), the
// banner (`helpid`, `script`, `company` as there), `body` and the footer.
inline std::string framed(const std::string& name, const std::string& helpid,
                          const std::string& body, const std::string& script = "",
                          const std::string& company = "")
{
    return pagehead(title(name)) + banner(helpid, script, company) + body + footer(script);
}

} // namespace pagetext
