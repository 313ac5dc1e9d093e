#include "www/wwwputhtml.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "lib/config.h"
#include "lib/if_blank.h"

#define ZEL_SUPPORT_EMAIL "support@vantrel.com"
#define ZEL_MAKER_URL "http://www.vantrel.com/"

// The head's texts are joined at compile time, so that the whole document
// head is one constant.
#define ZEL_HELP_SCRIPT                                                                            \
    "<SCRIPT LANGUAGE=\"JavaScript\">\n"                                                           \
    "<!--\n"                                                                                       \
    "function helpwin(helpurl) {\n"                                                                \
    "var remote = open(helpurl, \"ZELHELP\", \n"                                                   \
    "\"height=600,width=600,channelmode=0,dependent=0,directories=0,fullscreen=0,"                 \
    "location=0,menubar=0,resizable=1,scrollbars=1,status=0,toolbar=1\");\n"                       \
    "if (remote.opener == null)\n"                                                                 \
    "remote.opener = window;\n"                                                                    \
    "remote.opener.name = \"Vantrel\";\n"                                                          \
    "remote.focus();\n"                                                                            \
    "return remote;\n"                                                                             \
    "}\n"                                                                                          \
    "// -->\n"                                                                                     \
    "</SCRIPT>\n"
#define ZEL_SUPPORT_LINK "<link rev=\"made\" href=\"mailto:" ZEL_SUPPORT_EMAIL "\">"

const char* const SUPPORT_EMAIL = ZEL_SUPPORT_EMAIL;
const char* const MAKER_URL = ZEL_MAKER_URL;

// No page of this program is meant to be shown inside another site's
// frame: a framed page would carry the administrator's login.  Nor is any
// answer meant to be kept: pages are made for one user and change with
// every request, and a cache must not hand them to the next one.
const char FRAME_HEADERS[] = "X-Frame-Options: DENY\r\n"
                             "Content-Security-Policy: frame-ancestors 'none'\r\n"
                             "Cache-Control: no-store\r\n";

const char DOCUMENT_HEAD[] =
    "Content-type: text/html\r\n\n"
    "<html><head>\n<title>Vantrel Image Messaging Software Response</title>\n" ZEL_SUPPORT_LINK
    "\n\n" ZEL_HELP_SCRIPT "\n</head>\n\n";

const char BODY_TAG[] = "<body bgcolor=\"#FFFFFF\">\n";

namespace {

int state = HEAD_NONE;

std::string status; // the whole status line, CR LF included
bool statuswritten = false;
bool framewritten = false;

const char* errors[MAX_ERRORS];
int nerrors = 0;

constexpr std::size_t NAME_MAX_LEN = 127;

const char* const HELP_SCRIPT = ZEL_HELP_SCRIPT;
const char* const SUPPORT_LINK = ZEL_SUPPORT_LINK;

const char* const FOOTER[] = {
    "<p><table><td><td><a href=\"$SCRIPT_NAME/Page1\">",
    "<img src=\"$SCRIPT_NAME/page-2\" alt=\"Home Button\" border=0></a></td>",
    "<td><font size=1>Vantrel and Image Messaging Software are trademarks of "
    "<a href=\"" ZEL_MAKER_URL "\">Vantrel</a>",
    "Technologies. All other product names are trademarks of their respective owners.<br>",
    "Copyright &copy; Vantrel Technologies (<a href=\"" ZEL_MAKER_URL "\">www.vantrel.com</a>).",
    // Through the program's own path, so the link works wherever the
    // server mounts it.
    " All rights reserved. <a href=\"$SCRIPT_NAME/logoff\">Log off</a>",
    "</td></tr></table>",
    "<head><META HTTP-EQUIV=\"PRAGMA\" CONTENT=\"NO-CACHE\"></head>",
    "</BODY></HTML>",
    nullptr,
};

// The entity that stands for `c` in page text and attribute values, or
// null when it stands for itself.
const char* html_entity(char c)
{
    switch (c) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '"':
        return "&quot;";
    case '\'':
        return "&#39;";
    default:
        return nullptr;
    }
}

// A server that puts the whole path into SCRIPT_NAME (as early CGI servers
// did) repeats PATH_INFO at its end; links must start at the program
// itself, not below the page that is being answered.
std::size_t scriptlength(const char* script, std::size_t len)
{
    const char* pathinfo = std::getenv("PATH_INFO");
    std::size_t plen = pathinfo ? std::strlen(pathinfo) : 0;
    if (plen > 0 && plen <= len && std::memcmp(script + len - plen, pathinfo, plen) == 0)
        return len - plen;
    return len;
}

bool isnamechar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// expandenv with the option to double every '%' of an inserted value, so
// that the result can serve as a printf format in which only the caller's
// own conversions act.
void expand(const char* text, char* out, std::size_t size, bool doublepercent)
{
    if (size == 0)
        return;
    std::size_t n = 0;
    auto put = [&](char c) {
        if (n < size - 1)
            out[n++] = c;
    };
    const char* p = text;
    while (*p != '\0' && n < size - 1) {
        if (*p != '$') {
            put(*p++);
            continue;
        }
        ++p;
        char name[NAME_MAX_LEN + 1];
        std::size_t len = 0;
        while (len < NAME_MAX_LEN && isnamechar(*p))
            name[len++] = *p++;
        name[len] = '\0';
        const char* value = len > 0 ? std::getenv(name) : nullptr;
        if (value == nullptr)
            continue;
        std::size_t vlen = std::strlen(value);
        if (std::strcmp(name, "SCRIPT_NAME") == 0)
            vlen = scriptlength(value, vlen);
        if (vlen > 0 && value[vlen - 1] == '/')
            --vlen; // "$SCRIPT_NAME/Page1" must not give a double slash
        // Values land inside page text and attribute values alike.
        for (std::size_t i = 0; i < vlen; ++i) {
            if (const char* entity = html_entity(value[i])) {
                while (*entity != '\0')
                    put(*entity++);
            } else {
                if (doublepercent && value[i] == '%')
                    put('%');
                put(value[i]);
            }
        }
    }
    out[n] = '\0';
}

// A cut expansion may end inside a conversion (or in half of a doubled
// '%'); printf would then read an argument that the text never named.
void drop_open_conversion(char* format)
{
    char* p = format;
    while (*p != '\0') {
        if (*p++ != '%')
            continue;
        char* start = p - 1;
        if (*p == '%') {
            ++p;
            continue;
        }
        while (*p != '\0' && std::strchr("-+ #0'123456789.*hlLqjzt", *p) != nullptr)
            ++p;
        if (*p == '\0') {
            *start = '\0';
            return;
        }
        ++p;
    }
}

std::string vformat(const char* format, va_list ap)
{
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (n <= 0)
        return {};
    std::string text(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, ap);
    return text;
}

void writeout(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void opendocument()
{
    if (state == HEAD_NONE) {
        putheaders();
        std::fputs(DOCUMENT_HEAD, stdout);
        state = HEAD_SENT;
    }
    if (state == HEAD_SENT) {
        std::fputs(BODY_TAG, stdout);
        state = HEAD_BODY;
    }
}

} // namespace

void setstatus(const char* text, bool raw)
{
    status = std::string(raw ? "HTTP/1.0 " : "Status: ") + text + "\r\n";
}

bool statusset() { return !status.empty(); }

void putstatusline()
{
    if (status.empty() || statuswritten)
        return;
    statuswritten = true;
    std::fputs(status.c_str(), stdout);
}

void putframeheaders()
{
    if (framewritten)
        return;
    framewritten = true;
    std::fputs(FRAME_HEADERS, stdout);
}

void putheaders()
{
    putstatusline();
    putframeheaders();
}

bool framesent() { return framewritten; }

int headstate() { return state; }

void puthtml_reset()
{
    state = HEAD_NONE;
    status.clear();
    statuswritten = false;
    framewritten = false;
}

void puthtml(const char* format, ...)
{
    opendocument();
    // Only an expansion is bounded: a format without references is used as
    // it stands, however long.
    char expanded[EXPAND_SIZE];
    const char* text = format;
    if (std::strchr(format, '$') != nullptr) {
        expand(format, expanded, sizeof expanded, true);
        drop_open_conversion(expanded);
        text = expanded;
    }
    va_list ap;
    va_start(ap, format);
    writeout(vformat(text, ap));
    va_end(ap);
    std::fflush(stdout);
}

void putf(const char* format, ...)
{
    opendocument();
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
}

void putpagehead(const char* format, ...)
{
    auto piece = [](const char* text) {
        std::fputs(text, stdout);
        std::fflush(stdout);
    };
    putheaders();
    piece("Content-type: text/html\r\n");
    piece("\n<html><head><title>\n");
    va_list ap;
    va_start(ap, format);
    writeout(vformat(format, ap));
    va_end(ap);
    std::fflush(stdout);
    std::printf("</title>\n%s\n\n", SUPPORT_LINK);
    std::fflush(stdout);
    std::printf("%s\n", HELP_SCRIPT);
    std::fflush(stdout);
    piece("</head>\n");
    piece(BODY_TAG);
    state = HEAD_BODY;
}

void putbanner(const char* helpid)
{
    std::puts("<table width=\"100%\"><tr><td>");
    std::printf("<a href=\"%s\">\n", MAKER_URL);
    putline("<img align=top src=\"$SCRIPT_NAME/page-1\" ");
    std::puts("alt=\"Vantrel Logo\" border=0></a><font size=2>&reg;</font><br>");
    std::puts("<B><FONT FACE=\"Arial,Helvetica\" COLOR=\"#0000ff\"");
    std::puts("SIZE=5>Image Messaging Software</FONT></B>");
    std::puts("</td><td>");
    std::puts("<div align=right>");
    const char* company = get_config("company-name");
    if (!if_blank(company))
        std::printf("<em>%s</em>", htmlescape(company).c_str());
    if (helpid != nullptr)
        puthelpbutton(helpid);
    std::puts("</div>");
    std::puts("</td></tr></table>");
}

void puthelpbutton(const char* helpid)
{
    std::puts("<form>");
    std::printf("<input type=\"button\" value=\"Help!\" onClick='helpwin(\"/help.cgi/%s\")'>\n",
                htmlescape(helpid).c_str());
    std::puts("</form>");
}

void putfooter() { putlines(FOOTER); }

void puthtmlescaped(const char* text)
{
    for (const char* p = text; *p != '\0'; ++p) {
        switch (*p) {
        case '<':
            std::fputs("&lt;", stdout);
            break;
        case '>':
            std::fputs("&gt;", stdout);
            break;
        case '&':
            std::fputs("&amp;", stdout);
            break;
        default:
            std::putchar(*p);
            break;
        }
    }
}

std::string htmlescape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    htmlescapeto(out, text);
    return out;
}

namespace {

constexpr std::array<bool, 256> kSpecial = [] {
    std::array<bool, 256> marks{};
    for (unsigned char c : {'&', '<', '>', '"', '\''})
        marks[c] = true;
    return marks;
}();

// A list page escapes thousands of values, mostly with nothing in them to
// escape: sixteen bytes at a time are looked at where the processor
// compares that many at once (the last ones overlapping the others), a
// short value a byte at a time.
#ifdef __SSE2__
bool needs_entity(__m128i bytes)
{
    auto is = [&](char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
    __m128i hits = _mm_or_si128(_mm_or_si128(is('&'), is('<')),
                                _mm_or_si128(is('>'), _mm_or_si128(is('"'), is('\''))));
    return _mm_movemask_epi8(hits) != 0;
}

__m128i load16(const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

int64_t load8(const char* at)
{
    int64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}
#endif

bool needs_escape(std::string_view text)
{
    const char* at = text.data();
    std::size_t size = text.size();
#ifdef __SSE2__
    if (size >= 16) {
        for (std::size_t i = 0; i + 16 <= size; i += 16)
            if (needs_entity(load16(at + i)))
                return true;
        return size % 16 != 0 && needs_entity(load16(at + size - 16));
    }
    if (size >= 8)
        return needs_entity(_mm_set_epi64x(load8(at + size - 8), load8(at)));
#endif
    for (std::size_t i = 0; i < size; ++i)
        if (kSpecial[static_cast<unsigned char>(at[i])])
            return true;
    return false;
}

} // namespace

void htmlescapeto(std::string& out, std::string_view text)
{
    if (!needs_escape(text)) {
        out.append(text);
        return;
    }
    std::size_t plain = 0; // where the bytes that stand for themselves began
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (kSpecial[static_cast<unsigned char>(text[i])]) {
            out.append(text, plain, i - plain);
            out += html_entity(text[i]);
            plain = i + 1;
        }
    }
    out.append(text, plain);
}

char* expandenv(const char* text, char* out, std::size_t size)
{
    expand(text, out, size, false);
    return out;
}

void putline(const char* text)
{
    putexpanded(text);
    std::putchar('\n');
}

void putexpanded(const char* text)
{
    char expanded[EXPAND_SIZE];
    std::fputs(std::strchr(text, '$') != nullptr ? expandenv(text, expanded, sizeof expanded)
                                                 : text,
               stdout);
}

void puttext(std::string_view text)
{
    opendocument();
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void putlines(const char* const* texts)
{
    for (; *texts != nullptr; ++texts)
        putline(*texts);
}

void adderror(const char* message)
{
    if (nerrors < MAX_ERRORS)
        errors[nerrors++] = message;
}

int errorcount() { return nerrors; }

void clearerrors() { nerrors = 0; }

void puterrors()
{
    puthtml("<p>The following errors have been detected.<p><ul>\n");
    for (int i = 0; i < nerrors; ++i)
        puthtml("<li>%s\n", errors[i]);
    puthtml("</ul><p>\n");
}
