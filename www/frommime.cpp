#include "www/frommime.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "lib/rootpath.h"
#include "www/mimedecode.h"
#include "www/tempfiles.h"

namespace {

// ---- The body, read byte by byte and never past its length ----------------

class Body {
public:
    Body(FILE* file, long length) : file_(file), left_(length) {}

    int get()
    {
        if (back_ != EOF) {
            int c = back_;
            back_ = EOF;
            return c;
        }
        if (left_ == 0)
            return EOF;
        int c = getc_unlocked(file_);
        if (c == EOF) {
            left_ = 0;
            return EOF;
        }
        if (left_ > 0)
            --left_;
        return c;
    }

    int peek()
    {
        back_ = get();
        return back_;
    }

    // Nothing more is read: the rest of the body is not wanted.
    void stop()
    {
        left_ = 0;
        back_ = EOF;
    }

    // The byte looked at but not taken goes back to the stream, so that
    // what follows the parse is still there to read.
    void finish()
    {
        if (back_ != EOF)
            std::ungetc(back_, file_);
        back_ = EOF;
    }

private:
    FILE* file_;
    long left_; // negative: up to end of input
    int back_ = EOF;
};

// ---- Parser state ----------------------------------------------------------

struct Param {
    std::string attribute; // lower-case
    std::string value;     // quotes kept
};

// Transfer encoding codes.
constexpr int ENC_NONE = 0;
constexpr int ENC_BASE64 = 1;
constexpr int ENC_QP = 2;
constexpr int ENC_UUE = -1;

struct Parser {
    Body* in = nullptr;
    FormField* head = nullptr;
    std::string type;          // current content type, lower-case
    std::vector<Param> params; // of the current content type
    std::string encoding;      // transfer-encoding text
    int code = ENC_NONE;
    std::string fallback; // last parameter written without "="
    bool hasname = false, hasfilename = false;
    std::string name, filename;     // picked up for the next leaf
    std::vector<std::string> stack; // "--" and the boundary, per level
    std::size_t depth = 0;          // active levels in `stack`
    long lastdelimiter = -1;        // level of the last boundary line read
    bool lastclosing = false;       // and whether it closed that level
    int altgroups = 0;
    bool firstleaf = true;
    FormField* lastleaf = nullptr;
    std::string tmpdir;
};

Parser mime;

// ---- Text helpers ----------------------------------------------------------

bool blank(char c) { return c == ' ' || c == '\t'; }

bool space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view trimblanks(std::string_view text)
{
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && space(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool iequal(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && lower(a) == lower(b);
}

bool istarts(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && iequal(text.substr(0, prefix.size()), prefix);
}

char* copytext(std::string_view text)
{
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr)
        mimefatal("Out of memory!");
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

// The reader's temporary file; no file ends the process.
TempFile createtemp()
{
    TempFile file;
    int result = createtempfile(mime.tmpdir, &file);
    if (result == TEMPFILE_TOOMANY)
        mimefatal("Too many temporary files");
    if (result != TEMPFILE_OK)
        mimefatal("Cannot open temporary file");
    return file;
}

// ---- Boundaries ------------------------------------------------------------

// A boundary line of an active level ends the body.  The closing line of a
// level closes it and every level inside it; the line of an enclosing
// level closes the levels inside that one, whose closing lines are missing.
bool isboundary(std::string_view line)
{
    if (!line.starts_with("--"))
        return false;
    for (std::size_t i = 0; i < mime.depth; ++i) {
        const std::string& text = mime.stack[i];
        if (!line.starts_with(text))
            continue;
        bool closing = line.substr(text.size()).starts_with("--");
        mime.depth = closing ? i : i + 1;
        mime.lastdelimiter = static_cast<long>(i);
        mime.lastclosing = closing;
        return true;
    }
    return false;
}

void endofinput()
{
    mime.depth = 0;
    mime.lastdelimiter = -1;
}

// A line that begins with "-", up to 1023 characters, without its line end.
std::string readdashline()
{
    std::string line;
    while (line.size() < 1023) {
        int c = mime.in->peek();
        if (c == EOF || c == '\r' || c == '\n')
            break;
        line += static_cast<char>(mime.in->get());
    }
    return line;
}

void skipline()
{
    for (int c; (c = mime.in->get()) != EOF;) {
        if (c == '\n')
            return;
        if (c == '\r') {
            if (mime.in->peek() == '\n')
                mime.in->get();
            return;
        }
    }
}

// Copies a body up to the boundary line that ends it; the line end in front
// of that line is not part of the body, every other byte is, exactly once.
BodyEnd copybody(BodySink& out)
{
    if (mime.depth == 0) {
        for (int c; (c = mime.in->get()) != EOF;)
            out.put(static_cast<char>(c));
        endofinput();
        return BodyEnd::input;
    }
    char pending[2];
    int held = 0;
    bool linestart = true;
    auto release = [&] {
        for (int i = 0; i < held; ++i)
            out.put(pending[i]);
        held = 0;
    };
    for (;;) {
        if (linestart) {
            linestart = false;
            if (mime.in->peek() == '-') {
                std::string line = readdashline();
                if (isboundary(line)) {
                    skipline();
                    return BodyEnd::boundary;
                }
                release();
                out.put(line);
                continue;
            }
        }
        int c = mime.in->get();
        if (c == EOF) {
            release();
            endofinput();
            return BodyEnd::input;
        }
        if (c == '\r' || c == '\n') {
            release();
            pending[held++] = static_cast<char>(c);
            if (c == '\r' && mime.in->peek() == '\n')
                pending[held++] = static_cast<char>(mime.in->get());
            linestart = true;
        } else {
            release();
            out.put(static_cast<char>(c));
        }
    }
}

// ---- Headers ---------------------------------------------------------------

// The ";" that ends the parameter starting `text`, outside double quotes.
std::size_t paramend(std::string_view text)
{
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (quoted && text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            quoted = !quoted;
        else if (!quoted && text[i] == ';')
            return i;
    }
    return text.size();
}

// The parameters after the first ";" of a header value.
std::vector<Param> parseparams(std::string_view value)
{
    std::vector<Param> params;
    std::size_t semi = value.find(';');
    if (semi == std::string_view::npos)
        return params;
    std::string_view rest = value.substr(semi + 1);
    while (!rest.empty()) {
        std::size_t end = paramend(rest);
        std::string_view piece = rest.substr(0, end);
        rest = end < rest.size() ? rest.substr(end + 1) : std::string_view{};
        if (trimblanks(piece).empty())
            continue;
        std::size_t eq = piece.find('=');
        if (eq == std::string_view::npos) {
            std::string text(piece);
            std::fprintf(stderr, "Ignoring unparsable content-type parameter:'%s'\n", text.c_str());
            mime.fallback = lower(trimblanks(piece));
            continue;
        }
        params.push_back({lower(trimblanks(piece.substr(0, eq))),
                          std::string(trimblanks(piece.substr(eq + 1)))});
    }
    return params;
}

const std::string* paramvalue(const std::vector<Param>& params, std::string_view attribute)
{
    for (const Param& p : params)
        if (p.attribute == attribute)
            return &p.value;
    return nullptr;
}

void settype(std::string_view value)
{
    std::string_view type = value.substr(0, value.find(';'));
    // Blanks around the "/" only: a boundary may hold blanks of its own.
    std::string packed;
    for (std::size_t i = 0; i < type.size(); ++i) {
        if (blank(type[i])) {
            std::size_t j = type.find_first_not_of(" \t", i);
            bool slotnext = j != std::string_view::npos && type[j] == '/';
            if (slotnext || (!packed.empty() && packed.back() == '/'))
                continue;
        }
        packed += type[i];
    }
    mime.type = lower(trimblanks(packed));
    mime.params = parseparams(value);
}

void setdisposition(std::string_view value)
{
    std::vector<Param> params = parseparams(value);
    // A part inside a nested multipart keeps the field name of the part
    // around it unless it names itself.
    if (const std::string* name = paramvalue(params, "name")) {
        mime.hasname = true;
        mime.name = *name;
    }
    const std::string* filename = paramvalue(params, "filename");
    mime.hasfilename = filename != nullptr;
    mime.filename = filename ? *filename : std::string();
}

// Whether `line` is the header `name` (any case, blanks before the colon
// allowed); its value without the leading blanks.
bool headerfield(std::string_view line, std::string_view name, std::string_view* value)
{
    if (!istarts(line, name))
        return false;
    std::size_t at = line.find_first_not_of(" \t", name.size());
    if (at == std::string_view::npos || line[at] != ':')
        return false;
    std::string_view rest = line.substr(at + 1);
    while (!rest.empty() && blank(rest.front()))
        rest.remove_prefix(1);
    *value = rest;
    return true;
}

void scanheaders(std::string_view block)
{
    bool typeseen = false, encodingseen = false;
    std::size_t at = 0;
    while ((at = block.find('\n', at)) != std::string_view::npos) {
        ++at;
        if (at >= block.size() || blank(block[at]))
            continue;
        // The line and its continuation lines, joined.
        std::string line;
        std::size_t end = at;
        for (;;) {
            std::size_t nl = block.find('\n', end);
            if (nl == std::string_view::npos) {
                line += block.substr(end);
                end = block.size();
                break;
            }
            line += block.substr(end, nl - end);
            end = nl;
            if (nl + 1 >= block.size() || !blank(block[nl + 1]))
                break;
            end = nl + 1;
        }
        at = end;
        std::string_view value;
        if (!typeseen && headerfield(line, "content-type", &value)) {
            typeseen = true;
            settype(trimblanks(value));
        } else if (!encodingseen && headerfield(line, "content-transfer-encoding", &value)) {
            encodingseen = true;
            mime.encoding = value;
        } else if (headerfield(line, "content-disposition", &value)) {
            setdisposition(trimblanks(value));
        }
    }
    if (!typeseen) {
        // A digest's parts come with a default type; others are plain text.
        if (mime.type.empty())
            mime.type = "text/plain";
        mime.params.clear();
    }
}

int readheaders(int depth)
{
    std::string block = "\n";
    int last = '\n';
    for (;;) {
        int c = mime.in->get();
        if (c == EOF) {
            std::fputs(depth != 0 ? "extractmime: Incomplete multipart message -- unexpected EOF\n"
                                  : "extractmime: Could not find end of mail headers.\n",
                       stderr);
            endofinput();
            return -1;
        }
        if (c == '\r')
            continue;
        if (c == '\n' && last == '\n')
            break;
        last = c;
        if (block.size() < MIME_HEADER_MAX)
            block += static_cast<char>(c);
    }
    scanheaders(block);
    return 0;
}

int encodingcode()
{
    std::string text(trimblanks(mime.encoding));
    if (text.empty() || iequal(text, "none") || iequal(text, "8bit") || iequal(text, "7bit") ||
        iequal(text, "binary"))
        return ENC_NONE;
    if (iequal(text, "base64"))
        return ENC_BASE64;
    if (iequal(text, "quoted-printable"))
        return ENC_QP;
    if (istarts(text, "x-uue")) {
        std::fprintf(stderr,
                     "WARNING:  Using nonstandard %s encoding, trying uuencode algorithm.\n",
                     text.c_str());
        return ENC_UUE;
    }
    std::fprintf(stderr, "Ignoring unrecognized Content-Transfer-Encoding value: %s\n",
                 text.c_str());
    return ENC_NONE;
}

// ---- Bodies and parts ------------------------------------------------------

bool textual(std::string_view type)
{
    return istarts(type, "text") || istarts(type, "message") || istarts(type, "multipart");
}

void decodebody(BodySink& out, bool intofile)
{
    switch (mime.code) {
    case ENC_BASE64: {
        Base64Filter filter(out, intofile && textual(mime.type));
        filter.finish(copybody(filter));
        return;
    }
    case ENC_QP: {
        QuotedPrintableFilter filter(out);
        filter.finish(copybody(filter));
        return;
    }
    case ENC_UUE:
        if (intofile) {
            UudecodeFilter filter(out);
            filter.finish(copybody(filter));
            return;
        }
        break;
    }
    out.finish(copybody(out));
}

// A message or multipart of an alternative group, with its headers, into
// the group's file (made on first use).  0, or -1 when the file cannot be
// opened; the body is then read and dropped.
int savepart(std::string* save)
{
    int fd = -1;
    if (save->empty()) {
        TempFile file = createtemp();
        *save = file.path;
        fd = file.fd;
    } else {
        fd = open(save->c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    }
    FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (out == nullptr) {
        if (fd >= 0)
            close(fd);
        std::fprintf(stderr,
                     "Cannot open %s to squirrel away a portion of a multipart/alternative\n",
                     save->c_str());
        DiscardSink drop;
        drop.finish(copybody(drop));
        return -1;
    }
    std::fprintf(out, "Content-type: %s", mime.type.c_str());
    for (const Param& p : mime.params)
        std::fprintf(out, " ; %s = %s", p.attribute.c_str(), p.value.c_str());
    std::fputs("\n\n", out);
    FileSink sink(out);
    decodebody(sink, true);
    if (std::fclose(out) != 0)
        mimefatal("fclose failed");
    return 0;
}

int leaf()
{
    FormField* field = mime.firstleaf ? mime.head : addformfield();
    if (field == nullptr)
        mimefatal("Out of memory!");
    // A form of too many fields is refused whole; the rest is not read.
    if (formoverflow())
        mime.in->stop();
    mime.firstleaf = false;
    mime.lastleaf = field;
    field->contenttype = copytext(mime.type);
    if (mime.hasname)
        field->name = copytext(unquote(mime.name));
    if (mime.hasfilename) {
        // Only recorded: the browser's name never picks the stored path.
        field->filename = copytext(unquote(mime.filename));
        field->file = 1;
    }
    mime.hasname = mime.hasfilename = false;
    mime.name.clear();
    mime.filename.clear();

    if (field->file == 0) {
        // Without a boundary there is no end to the value: nothing is kept.
        // A value too long keeps its name and no value, as in a urlencoded
        // form: a prefix would be stored as if it were the whole.
        bool bounded = mime.depth != 0;
        std::string text;
        MemorySink sink(&text, FIELD_MAX - 1);
        decodebody(sink, false);
        if (bounded && !sink.overflowed())
            field->value = copytext(text);
        return 0;
    }
    TempFile file = createtemp();
    field->value = copytext(file.path);
    FILE* out = fdopen(file.fd, "w");
    if (out == nullptr) {
        close(file.fd);
        mimefatal("Cannot open temporary file");
    }
    FileSink sink(out);
    decodebody(sink, true);
    bool failed = std::ferror(out) != 0;
    int result = std::fclose(out);
    if (failed && result == 0)
        result = EOF;
    if (result != 0)
        std::fprintf(stderr, "Could not write file %s\n", file.path.c_str());
    return result;
}

int parsepart(bool headersread, std::string* save, int depth);

int multipart(const std::string& boundary, int depth)
{
    std::size_t slash = mime.type.find('/');
    std::string subtype =
        slash == std::string::npos ? "mixed" : lower(trimblanks(mime.type.substr(slash + 1)));
    std::string save;
    int group = 0;
    if (subtype == "alternative")
        group = ++mime.altgroups;
    bool inherit = mime.hasname;
    std::string name = mime.name;

    std::size_t level = mime.depth;
    mime.stack.resize(level);
    mime.stack.push_back("--" + boundary);
    mime.depth = level + 1;

    DiscardSink preamble;
    preamble.finish(copybody(preamble));
    while (mime.depth == level + 1) {
        mime.encoding.clear();
        mime.type = subtype == "digest" ? "message/rfc822" : "";
        mime.params.clear();
        mime.hasname = inherit;
        mime.name = name;
        mime.hasfilename = false;
        FormField* before = mime.lastleaf;
        // A part that fails has been read up to its boundary all the same.
        parsepart(false, group != 0 ? &save : nullptr, depth + 1);
        if (group != 0 && mime.lastleaf != before)
            mime.lastleaf->altgroup = static_cast<int16_t>(group);
    }
    // After its own closing line, a nested level's epilogue runs up to the
    // next boundary line of an enclosing level.
    if (mime.lastclosing && mime.lastdelimiter == static_cast<long>(level) && level > 0) {
        DiscardSink epilogue;
        epilogue.finish(copybody(epilogue));
    }
    return 0;
}

int parsepart(bool headersread, std::string* save, int depth)
{
    if (!headersread && readheaders(depth) < 0)
        return -1;
    mime.code = encodingcode();
    if (mime.code == ENC_BASE64 || mime.code == ENC_UUE) {
        // Mail attachments name themselves in their content type.
        const std::string* name = paramvalue(mime.params, "name");
        const std::string* filename = paramvalue(mime.params, "filename");
        if (!mime.hasname && name) {
            mime.hasname = true;
            mime.name = *name;
        }
        if (!mime.hasfilename && filename) {
            mime.hasfilename = true;
            mime.filename = *filename;
        }
    }
    if (depth >= MIME_DEPTH_MAX)
        return leaf();
    if (mime.type == "message" || mime.type == "message/rfc822") {
        if (save)
            return savepart(save);
        mime.type.clear();
        mime.encoding.clear();
        mime.params.clear();
        return parsepart(false, nullptr, depth + 1);
    }
    if (istarts(mime.type, "multipart")) {
        const std::string* param = paramvalue(mime.params, "boundary");
        std::string boundary = param ? *param : mime.fallback;
        if (boundary.empty()) {
            std::fputs(
                "Warning: No boundary for multipart data, treating as unrecognized format.\n",
                stderr);
            return leaf();
        }
        if (save)
            return savepart(save);
        boundary = unquote(boundary);
        if (boundary.empty() || boundary.size() > MIME_BOUNDARY_MAX) {
            std::fputs("Warning: Unusable boundary for multipart data, treating as unrecognized "
                       "format.\n",
                       stderr);
            return leaf();
        }
        return multipart(boundary, depth);
    }
    return leaf();
}

// The boundary as the request's content type gives it: quoted, or up to
// the next parameter.
std::string requestboundary(std::string_view text)
{
    if (text.starts_with('"'))
        return unquote(text);
    return std::string(trimblanks(text.substr(0, text.find_first_of("; \t\r\n"))));
}

} // namespace

int extractform(FILE* in, FormField* head, const char* boundary, long length)
{
    Body body(in, length);
    mime = Parser{};
    mime.in = &body;
    mime.head = head;
    mime.tmpdir = rootpath("/tmp");
    sweeptempfiles(mime.tmpdir);
    newformlist();
    mime.type = "multipart/form-data";
    if (boundary != nullptr)
        mime.params.push_back({"boundary", requestboundary(boundary)});
    parsepart(true, nullptr, 0);
    body.finish();
    mime.in = nullptr;
    return formfieldcount();
}

std::string unquote(std::string_view text)
{
    if (!text.starts_with('"'))
        return std::string(text);
    std::string out;
    for (std::size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size())
            ++i;
        out += text[i];
    }
    return out;
}

void mimefatal(const char* message)
{
    std::printf("extractmime: %s\n", message);
    std::exit(255);
}
