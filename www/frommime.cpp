#include "www/frommime.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/rootpath.h"
#include "lib/string.h"
#include "www/base64.h"

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

// How a body ended: at a boundary line of an active level, or at the end
// of the input.
enum class End { boundary, input };

// ---- Where a body's bytes go -----------------------------------------------

class Sink {
public:
    virtual ~Sink() = default;
    void put(char c)
    {
        if (used_ == buffer_.size())
            flush();
        buffer_[used_++] = c;
    }
    void put(std::string_view text)
    {
        for (char c : text)
            put(c);
    }
    void finish(End how)
    {
        flush();
        done(how);
    }

protected:
    virtual void write(const char* bytes, std::size_t count) = 0;
    virtual void done(End) {}

private:
    void flush()
    {
        if (used_ != 0)
            write(buffer_.data(), used_);
        used_ = 0;
    }

    std::array<char, 8192> buffer_;
    std::size_t used_ = 0;
};

class DiscardSink : public Sink {
    void write(const char*, std::size_t) override {}
};

class FileSink : public Sink {
public:
    explicit FileSink(FILE* file) : file_(file) {}

private:
    void write(const char* bytes, std::size_t count) override
    {
        std::fwrite(bytes, 1, count, file_);
    }
    FILE* file_;
};

// Keeps at most `limit` bytes; the rest of the body is read and dropped,
// and overflowed() tells that there was more.
class MemorySink : public Sink {
public:
    MemorySink(std::string* text, std::size_t limit) : text_(text), limit_(limit) {}
    bool overflowed() const { return overflowed_; }

private:
    void write(const char* bytes, std::size_t count) override
    {
        std::size_t room = limit_ - text_->size();
        if (count > room)
            overflowed_ = true;
        text_->append(bytes, count < room ? count : room);
    }
    std::string* text_;
    std::size_t limit_;
    bool overflowed_ = false;
};

// A decoder between the raw body and its destination.
class Filter : public Sink {
public:
    explicit Filter(Sink& next) : next_(next) {}

protected:
    void done(End how) override
    {
        end(how);
        next_.finish(how);
    }
    virtual void end(End) {}
    Sink& next_;
};

int hexvalue(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

class Base64Filter : public Filter {
public:
    // `text`: CR LF pairs of the decoded data become LF.
    Base64Filter(Sink& next, bool text) : Filter(next), text_(text) {}

private:
    void write(const char* bytes, std::size_t count) override
    {
        for (std::size_t i = 0; i < count; ++i)
            take(static_cast<unsigned char>(bytes[i]));
    }

    void take(unsigned char c)
    {
        if (c == '\r' || c == '\n') {
            if (dashline_)
                std::fprintf(stderr, "Ignoring unrecognized boundary line: %s\n",
                             dashtext_.c_str());
            dashline_ = false;
            dashtext_.clear();
            linestart_ = true;
            return;
        }
        // The reader has already found that a dash line here is none of
        // the active boundaries.
        if (linestart_ && c == '-')
            dashline_ = true;
        linestart_ = false;
        if (dashline_) {
            if (dashtext_.size() < 200)
                dashtext_ += static_cast<char>(c);
            return;
        }
        if (ended_ || c == ' ' || c == '\t')
            return;
        if (c == '=') {
            // Padding: a group with one or two characters before it yields
            // its bytes; nothing after it is data.
            if (count_ >= 2)
                emit(static_cast<char>((group_[0] << 2) | (group_[1] >> 4)));
            if (count_ == 3)
                emit(static_cast<char>(((group_[1] & 0xf) << 4) | (group_[2] >> 2)));
            ended_ = true;
            return;
        }
        int v = base64_sextet(c);
        if (v < 0)
            return;
        group_[count_++] = v;
        if (count_ == 4) {
            emit(static_cast<char>((group_[0] << 2) | (group_[1] >> 4)));
            emit(static_cast<char>(((group_[1] & 0xf) << 4) | (group_[2] >> 2)));
            emit(static_cast<char>(((group_[2] & 0x3) << 6) | group_[3]));
            count_ = 0;
        }
    }

    void emit(char c)
    {
        if (!text_) {
            next_.put(c);
            return;
        }
        if (heldcr_) {
            heldcr_ = false;
            if (c == '\n') {
                next_.put('\n');
                return;
            }
            next_.put('\r');
        }
        if (c == '\r')
            heldcr_ = true;
        else
            next_.put(c);
    }

    void end(End how) override
    {
        if (dashline_)
            std::fprintf(stderr, "Ignoring unrecognized boundary line: %s\n", dashtext_.c_str());
        if (how == End::input && count_ != 0 && !ended_)
            std::fputs("Warning: base64 decoder saw premature EOF!\n", stderr);
        if (heldcr_)
            next_.put('\r');
    }

    bool text_;
    int group_[4] = {};
    int count_ = 0;
    bool ended_ = false;
    bool linestart_ = true;
    bool dashline_ = false;
    bool heldcr_ = false;
    std::string dashtext_;
};

class QuotedPrintableFilter : public Filter {
public:
    using Filter::Filter;

private:
    enum State { plain, equals, hex, softcr };

    void write(const char* bytes, std::size_t count) override
    {
        for (std::size_t i = 0; i < count; ++i)
            take(bytes[i]);
    }

    void take(char c)
    {
        switch (state_) {
        case equals:
            if (hexvalue(c) >= 0) {
                high_ = c;
                state_ = hex;
            } else if (c == '\r') {
                state_ = softcr;
            } else if (c == '\n') {
                state_ = plain;
            } else {
                next_.put('=');
                state_ = plain;
                take(c);
            }
            return;
        case hex:
            state_ = plain;
            if (hexvalue(c) >= 0) {
                next_.put(static_cast<char>(hexvalue(high_) * 16 + hexvalue(c)));
                return;
            }
            next_.put('=');
            next_.put(high_);
            take(c);
            return;
        case softcr:
            state_ = plain;
            if (c == '\n')
                return;
            take(c);
            return;
        case plain:
            if (c == '=')
                state_ = equals;
            else
                next_.put(c);
            return;
        }
    }

    // The line end before the boundary is not part of the body, so a
    // final "=" is a soft break with nothing after it.
    void end(End) override
    {
        if (state_ == hex) {
            next_.put('=');
            next_.put(high_);
        }
    }

    State state_ = plain;
    char high_ = 0;
};

class UudecodeFilter : public Filter {
public:
    using Filter::Filter;

private:
    static constexpr std::size_t LINE_MAX = 63;
    enum State { before, inside, finished };

    void write(const char* bytes, std::size_t count) override
    {
        for (std::size_t i = 0; i < count; ++i) {
            char c = bytes[i];
            if (c == '\n') {
                line();
            } else if (c != '\r') {
                if (length_ == 0 && !quoted_ && c == '>') {
                    quoted_ = true; // a mail system's From-stuffing
                } else if (length_ < LINE_MAX) {
                    text_[length_++] = c;
                }
                started_ = true;
            }
        }
    }

    void line()
    {
        std::string_view text(text_.data(), length_);
        bool empty = !started_;
        length_ = 0;
        quoted_ = false;
        started_ = false;
        if (state_ == before) {
            if (text.starts_with("begin"))
                state_ = inside;
            return;
        }
        if (state_ != inside || empty || text.empty())
            return;
        if (text == "end" || text[0] == '`' || text[0] == ' ') {
            state_ = finished;
            return;
        }
        if (text.starts_with("--")) {
            // The reader has already found that it is no boundary line.
            std::fputs("ignoring invalid boundary marker\n", stderr);
            return;
        }
        int n = static_cast<unsigned char>(text[0]) - 32;
        if (n < 1 || n > static_cast<int>(LINE_MAX)) {
            std::fprintf(stderr, "fromuue: illegal length (%d)\n", n);
            return;
        }
        // Characters beyond the line count as blanks (zero bits).
        auto bits = [&](std::size_t i) {
            return i < text.size() ? (static_cast<unsigned char>(text[i]) - 32) & 0x3f : 0;
        };
        for (int k = 0, out = 0; out < n; ++k) {
            std::size_t at = 1 + 4 * static_cast<std::size_t>(k);
            unsigned v =
                (bits(at) << 18) | (bits(at + 1) << 12) | (bits(at + 2) << 6) | bits(at + 3);
            for (int shift = 16; shift >= 0 && out < n; shift -= 8, ++out)
                next_.put(static_cast<char>((v >> shift) & 0xff));
        }
    }

    void end(End how) override
    {
        if (started_)
            line();
        if (how == End::input && state_ != finished)
            std::fputs("Premature EOF!\n", stderr);
        else if (how == End::boundary && state_ == inside)
            std::fputs("premature end of x-uue body part\n", stderr);
    }

    std::array<char, LINE_MAX> text_{};
    std::size_t length_ = 0;
    bool quoted_ = false;
    bool started_ = false;
    State state_ = before;
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

// Temporary files of this process, removed together: by removetempfiles,
// or by the handler of a signal that ends the process.  The handler may
// only read what it finds in place, so the names are fixed buffers in the
// directory held open, and the list changes with those signals held.
constexpr std::size_t TEMPNAME_SIZE = sizeof "mm.XXXXXX";
struct TempFiles {
    char names[MIME_TEMPFILES_MAX][TEMPNAME_SIZE];
    volatile sig_atomic_t count = 0;
    int dirfd = -1;
    std::string dir;       // the directory's path, for the fields' values
    pid_t owner = 0;       // the process that made them
    bool catching = false; // the handlers are set
    bool swept = false;    // the old files are gone
};
TempFiles temps;

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

// ---- Temporary files -------------------------------------------------------

// Six characters for a new name: from the kernel's random source, or, should
// that fail, from the clock, the process and a counter; a name that exists
// is never reused, only the next one tried.
std::string randomsuffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned long counter = 0;
    unsigned char bytes[6];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        unsigned long x = static_cast<unsigned long>(std::time(nullptr)) ^
                          (static_cast<unsigned long>(getpid()) << 16) ^ (++counter * 2654435761UL);
        for (unsigned char& b : bytes) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            b = static_cast<unsigned char>(x);
        }
    }
    std::string suffix;
    for (unsigned char b : bytes)
        suffix += letters[b % (sizeof letters - 1)];
    return suffix;
}

struct TempFile {
    int fd;
    std::string path;
};

// The signals a web server ends a request with (time-outs, a client gone).
constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGPIPE};

sigset_t endingsignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ENDING_SIGNALS)
        sigaddset(&set, sig);
    return set;
}

// Keeps the ending signals off while the list changes, so that their
// handler never sees a name whose file is not (or no longer) ours.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t set = endingsignals();
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t old_;
};

// Async-signal-safe calls only: the files go, then the process dies of the
// signal as it would have without the handler.
extern "C" void removeandraise(int sig)
{
    if (getpid() == temps.owner)
        for (sig_atomic_t i = 0; i < temps.count; ++i)
            unlinkat(temps.dirfd, temps.names[i], 0);
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
}

// Only where a signal would end the process anyway: one the web server
// ignores, or that has a handler of its own, keeps it.
void catchsignals()
{
    if (temps.catching)
        return;
    temps.catching = true;
    struct sigaction action {};
    action.sa_handler = removeandraise;
    action.sa_mask = endingsignals();
    for (int sig : ENDING_SIGNALS) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL &&
            (old.sa_flags & SA_SIGINFO) == 0)
            sigaction(sig, &action, nullptr);
    }
}

// The directory the files are made in, held open.  One with files in it
// stays the process's directory until they are removed.
void opentempdir()
{
    if (temps.dirfd >= 0 && (temps.dir == mime.tmpdir || temps.count > 0))
        return;
    if (temps.dirfd >= 0)
        close(temps.dirfd);
    temps.dirfd = open(mime.tmpdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (temps.dirfd < 0)
        mimefatal("Cannot open temporary file");
    temps.dir = mime.tmpdir;
    catchsignals();
}

// A new file "mm.XXXXXX" in the temporary directory, made by this call: the
// directory is shared, so an existing name or a planted link is never
// opened, and only the owner may read what was posted.
TempFile createtemp()
{
    opentempdir();
    if (temps.count >= static_cast<sig_atomic_t>(MIME_TEMPFILES_MAX))
        mimefatal("Too many temporary files");
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix = randomsuffix();
        SignalsHeld held;
        char* name = temps.names[temps.count];
        std::memcpy(name, "mm.", 3);
        std::memcpy(name + 3, suffix.data(), TEMPNAME_SIZE - 4);
        name[TEMPNAME_SIZE - 1] = '\0';
        int fd =
            openat(temps.dirfd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            temps.owner = getpid();
            temps.count = temps.count + 1;
            return {fd, temps.dir + "/" + name};
        }
        if (errno != EEXIST)
            break;
    }
    mimefatal("Cannot open temporary file");
}

// A name this module gives: "mm." and six letters or digits.
bool tempname(const char* name)
{
    if (std::strncmp(name, "mm.", 3) != 0 || std::strlen(name) != TEMPNAME_SIZE - 1)
        return false;
    for (const char* p = name + 3; *p != '\0'; ++p)
        if (!std::isalnum(static_cast<unsigned char>(*p)))
            return false;
    return true;
}

// A process killed outright (SIGKILL) leaves its files: those of the
// running user that are older than any request may take go.  Links and
// other kinds of files are never followed nor removed.
void sweepoldfiles()
{
    if (temps.swept)
        return;
    temps.swept = true;
    int fd = open(mime.tmpdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    time_t before = std::time(nullptr) - MIME_TEMPFILE_AGE;
    uid_t user = geteuid();
    while (const dirent* entry = readdir(dir)) {
        if ((entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) || !tempname(entry->d_name))
            continue;
        struct stat st;
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == user && st.st_mtime < before)
            unlinkat(fd, entry->d_name, 0);
    }
    closedir(dir);
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
End copybody(Sink& out)
{
    if (mime.depth == 0) {
        for (int c; (c = mime.in->get()) != EOF;)
            out.put(static_cast<char>(c));
        endofinput();
        return End::input;
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
                    return End::boundary;
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
            return End::input;
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

void decodebody(Sink& out, bool intofile)
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
    sweepoldfiles();
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

void removetempfiles()
{
    if (getpid() != temps.owner)
        return;
    SignalsHeld held;
    for (sig_atomic_t i = 0; i < temps.count; ++i)
        unlinkat(temps.dirfd, temps.names[i], 0);
    temps.count = 0;
}

int tempfilecount() { return temps.count; }

void mimefatal(const char* message)
{
    std::printf("extractmime: %s\n", message);
    std::exit(255);
}
