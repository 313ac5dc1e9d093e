#include "www/wwwinput.h"

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "lib/string.h"
#include "www/frommime.h"
#include "www/wwwputhtml.h"

int form_encoding = FORM_NONE;

namespace {

// Decoded names and values are collected here before they are copied out.
std::array<char, FIELD_MAX> workbuf;

const char* const URLENCODED = "application/x-www-form-urlencoded";
const char* const MULTIPART = "multipart/form-data;";

// CONTENT_LENGTH as a count of bytes: absent, non-numeric or negative is 0.
long contentlength()
{
    const char* text = std::getenv("CONTENT_LENGTH");
    if (text == nullptr)
        return 0;
    char* end = nullptr;
    long n = std::strtol(text, &end, 10);
    if (end == text || n < 0)
        return 0;
    return n;
}

void putsupportsentence()
{
    puthtml("<p>Please contact the system administrator for this server (%s) if you need "
            "more information on using this CGI program.\n",
            SUPPORT_EMAIL);
}

int hexdigit(int c)
{
    // The browser's escapes are trusted to be hex digits, as they always
    // are; anything else just gives some byte.
    return c >= 'A' ? (c & 0xdf) - 'A' + 10 : c - '0';
}

// The next byte of a field, or EOF at the end of the field's input.
int nextbyte(FILE* in, long* remaining)
{
    if (*remaining <= 0)
        return EOF;
    int c = std::getc(in);
    if (c != EOF)
        --*remaining;
    return c;
}

// Decodes a "%" escape whose '%' has been read; an escape cut short by
// the end of the body decodes the digits there are.
int decodeescape(FILE* in, long* remaining)
{
    int hi = nextbyte(in, remaining);
    if (hi == EOF)
        return '%';
    int lo = nextbyte(in, remaining);
    if (lo == EOF)
        return hexdigit(hi) & 0xff;
    return (hexdigit(hi) * 16 + hexdigit(lo)) & 0xff;
}

bool atendofinput(FILE* in)
{
    int c = std::getc(in);
    if (c == EOF)
        return true;
    std::ungetc(c, in);
    return false;
}

// One byte of the request inside the dump's <pre>: as text, never markup.
void putbodychar(char c)
{
    if (c == '<' || c == '>' || c == '&') {
        const char text[2] = {c, '\0'};
        puthtmlescaped(text);
    } else {
        std::putchar(c);
    }
}

void putcharcode(char c)
{
    if (c >= 0x20 && c < 0x7f)
        putbodychar(c);
    else
        std::printf("<%2.2x>", static_cast<unsigned>(static_cast<signed char>(c)));
}

FILE* opencopy(const char* path)
{
    // The copy lives in a shared directory: never follow a planted link,
    // and keep the posted body (it may hold passwords) to ourselves.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return nullptr;
    FILE* file = fdopen(fd, "w");
    if (file == nullptr)
        close(fd);
    return file;
}

const char* orabsent(const char* text) { return text != nullptr ? text : "NULL!"; }

} // namespace

int decodeform()
{
    const char* method = std::getenv("REQUEST_METHOD");
    if (method == nullptr || std::strcmp(method, "POST") != 0) {
        puthtml("<h2>ERROR WF090</h2><p>This script must be referenced with a METHOD of POST.\n");
        putsupportsentence();
        puthtml("<p>(Called with REQUEST_METHOD = '%s')\n",
                htmlescape(method != nullptr ? method : "").c_str());
        return FORM_BADMETHOD;
    }
    const char* type = std::getenv("CONTENT_TYPE");
    if (type == nullptr) {
        puthtml("<h2>ERROR WF091</h2><p>This script is being called without CONTENT_TYPE "
                "defined.\n");
        putsupportsentence();
        return FORM_NOTYPE;
    }
    const char* boundary = nullptr;
    if (std::strcmp(type, URLENCODED) == 0) {
        form_encoding = FORM_URLENCODED;
    } else if (std::strncmp(type, MULTIPART, std::strlen(MULTIPART)) == 0) {
        form_encoding = FORM_MULTIPART;
        if (const char* b = std::strstr(type, "boundary="))
            boundary = b + std::strlen("boundary=");
    } else {
        puthtml("<h2>ERROR WF092</h2><p>This script can only be used to decode form results.\n");
        putsupportsentence();
        puthtml("<p>(Called with CONTENT_TYPE = '%s')\n", htmlescape(type).c_str());
        return FORM_BADTYPE;
    }
    int count = 0;
    if (form_encoding == FORM_MULTIPART) {
        count = extractform(stdin, &formhead, boundary, contentlength());
    } else {
        long remaining = contentlength();
        newformlist();
        while (remaining > 0 && !atendofinput(stdin)) {
            FormField* field = addformfield();
            if (field == nullptr)
                mimefatal("Out of memory!");
            if (formoverflow())
                break;
            ++count;
            if (readformfield(stdin, &remaining, &field->name, &field->value) == FIELD_NOMEM)
                break;
        }
    }
    if (formoverflow()) {
        puthtml("<h2>ERROR WF093</h2><p>This form has more than %d fields.\n", FORM_FIELDS_MAX);
        putsupportsentence();
        return FORM_TOOMANY;
    }
    return count;
}

int readformfield(FILE* in, long* remaining, char** name, char** value)
{
    *name = nullptr;
    *value = nullptr;
    bool inname = true;
    std::size_t len = 0;
    for (;;) {
        int c = nextbyte(in, remaining);
        if (c == EOF || c == '&')
            break;
        if (c == '=' && inname) {
            workbuf[len] = '\0';
            if ((*name = strsave(workbuf.data())) == nullptr)
                return FIELD_NOMEM;
            inname = false;
            len = 0;
            continue;
        }
        if (c == '+')
            c = ' ';
        else if (c == '%')
            c = decodeescape(in, remaining);
        workbuf[len++] = static_cast<char>(c);
        if (len == FIELD_MAX) {
            // Given up where the limit was reached; *remaining already
            // counts what was read, so the next field starts right here.
            return FIELD_TOOLONG;
        }
    }
    workbuf[len] = '\0';
    char** slot = inname ? name : value;
    if ((*slot = strsave(workbuf.data())) == nullptr)
        return FIELD_NOMEM;
    return FIELD_OK;
}

void listform(int count)
{
    puthtml("<h2>Listing of Form Data (%d)</h2><pre>", count);
    dumpfields(stdout, &formhead);
    puthtml("</pre>\n");
}

void dumpfields(FILE* out, const FormField* first)
{
    // Posted values end up inside a page; none may carry markup into it.
    auto text = [](const char* t) { return htmlescape(orabsent(t)); };
    int number = 1;
    for (const FormField* f = first; f != nullptr; f = f->next, ++number) {
        std::fprintf(out, "%2d. lp", number);
        std::fflush(out);
        std::fprintf(out, "([%d - %d] [%s] [%s] [%s] [%s])\n", f->file, f->altgroup,
                     text(f->contenttype).c_str(), text(f->name).c_str(), text(f->filename).c_str(),
                     text(f->value).c_str());
        std::fflush(out);
    }
}

void echorequest(char** envp, const char* copypath)
{
    puthtml("<p><strong>Environment is:</strong><p><pre>\n");
    for (char** e = envp; e != nullptr && *e != nullptr; ++e) {
        std::fputs("(", stdout);
        for (const char* p = *e; *p != '\0'; ++p)
            putcharcode(*p);
        std::fputs(")\n\n", stdout);
    }
    std::fflush(stdout);

    long length = 0;
    if (const char* text = std::getenv("CONTENT_LENGTH")) {
        long n = std::strtol(text, nullptr, 10);
        n = n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : n;
        std::printf("</pre><br><hr><p>\nContent length is %d.\n"
                    "<p><strong>Stdin is:</strong><p><pre>\n",
                    static_cast<int>(n));
        length = n;
    } else {
        std::fputs("</pre><br><hr><p>\nContent length is not specified.Z\n", stdout);
    }

    FILE* copy = nullptr;
    if (copypath != nullptr && (copy = opencopy(copypath)) == nullptr)
        std::printf("Cannot open file '%s'\n", htmlescape(copypath).c_str());

    for (long i = 0; i < length; ++i) {
        int c = std::getc(stdin);
        if (c == EOF)
            break;
        putbodychar(static_cast<char>(c));
        if (copy != nullptr)
            std::putc(c, copy);
        if (c == '&')
            std::putchar('\n');
    }
    std::fputs("</pre>\n", stdout);
    std::fflush(stdout);
    if (copy != nullptr)
        std::fclose(copy);
}
