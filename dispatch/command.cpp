// command: delivery through an account's own program.  The fax's facts
// come from the calling machine (TSI, barcode, DID, line), so the action is
// read the way /bin/sh will read it and each fact is quoted for the place
// it lands: bare, as one single-quoted word; inside '...', with its quotes
// closed, escaped and reopened; inside "...", with \ " $ and ` escaped.
// Where that reading is lost (`...`, ${...}, $((...)), ...) a fact refuses
// the whole action rather than be guessed at.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dispatch/zeldispatch.h"
#include "lib/config.h"
#include "lib/fd.h"
#include "lib/log.h"
#include "lib/string.h"
#include "lib/trim.h"

namespace {

constexpr std::size_t kKeyMax = 31;
constexpr const char* kDefaultFaxDir = "/opt/vantrel/zel";

const FaxTiffInfo kNoFacts{0, -1, 0, 0, nullptr, nullptr, nullptr, nullptr};

// Inside double quotes a backslash escapes only these (and a newline, which
// a value keeps as it is: escaped, it would vanish).
std::string double_quoted_text(std::string_view value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"' || c == '$' || c == '`')
            out += '\\';
        out += c;
    }
    return out;
}

std::string trimmed(const char* text)
{
    std::string value = text ? text : "";
    if (!value.empty()) {
        trim(value.data());
        value.resize(std::char_traits<char>::length(value.c_str()));
    }
    return value;
}

std::string local_time(int32_t seconds)
{
    std::time_t when = seconds;
    struct tm tm;
    char text[64];
    if (localtime_r(&when, &tm) == nullptr || std::strftime(text, sizeof text, "%c", &tm) == 0)
        return "";
    return text;
}

// The fact of the run's fax named `key`, unquoted; false when the key is
// not one.
bool fact(const DispatchRun& run, std::string_view key, std::string& value)
{
    const FaxTiffInfo& f = run.facts ? *run.facts : kNoFacts;
    if (key == "file")
        value = run.faxpath ? run.faxpath : "";
    else if (key == "pages")
        value = std::to_string(f.pages);
    else if (key == "duration")
        value = std::to_string(f.duration);
    else if (key == "flags")
        value = std::to_string(f.flags);
    else if (key == "time")
        value = local_time(f.time);
    else if (key == "tval")
        value = std::to_string(f.time);
    else if (key == "tsi")
        value = trimmed(f.tsi);
    else if (key == "did")
        value = trimmed(f.did);
    else if (key == "barcode")
        value = trimmed(f.barcode);
    else if (key == "faxline")
        value = trimmed(f.faxline);
    else
        return false;
    return true;
}

// Reads an action the way the shell will, keeping for each point the
// quoting it is in, and substitutes the facts for it.  What it does not
// follow exactly puts it in the lost state, where a fact refuses the action:
// no quoting is right in every place the shell might then be.
class Expander {
public:
    Expander(const DispatchRun& run, const char* action, std::string& out)
        : run_(run), p_(action), out_(out)
    {
    }

    int run()
    {
        out_.clear();
        while (*p_ != '\0') {
            if (*p_ == '$' && std::isalpha(static_cast<unsigned char>(p_[1]))) {
                if (!substitute())
                    return EXPAND_UNQUOTABLE;
            } else if (lost_) {
                copy(1);
            } else if (stack_.back().quoting == Quoting::kSingle) {
                single();
            } else if (stack_.back().quoting == Quoting::kDouble) {
                double_quoted();
            } else {
                bare();
            }
        }
        return out_.size() <= DISPATCH_COMMAND_MAX ? EXPAND_OK : EXPAND_TOO_LONG;
    }

private:
    enum class Quoting { kBare, kSingle, kDouble };
    struct Frame {
        Quoting quoting;
        bool subst = false; // the body of a $(...), ended by its unmatched ')'
        int parens = 0;     // subshells open in this body
    };

    void copy(std::size_t n)
    {
        out_.append(p_, n);
        p_ += n;
    }

    // The length of the key whose fact `value` gets, at `p`; 0 when the
    // letters there are none.
    std::size_t key_fact(const char* p, std::string& value) const
    {
        std::size_t n = 0;
        while (std::isalpha(static_cast<unsigned char>(p[n])))
            ++n;
        return n > 0 && n <= kKeyMax && fact(run_, std::string_view(p, n), value) ? n : 0;
    }

    void push(Quoting quoting, bool subst = false) { stack_.push_back({quoting, subst, 0}); }

    // At a '$' and its letters; false when they are a fact that cannot be
    // quoted here.
    bool substitute()
    {
        std::string value;
        std::size_t n = key_fact(p_ + 1, value);
        if (n == 0) {
            while (std::isalpha(static_cast<unsigned char>(p_[1 + n])))
                ++n;
            copy(1 + n);
            word_start_ = false;
            return true;
        }
        if (lost_)
            return false;
        switch (stack_.back().quoting) {
        case Quoting::kSingle:
            out_ += shellword_inner(value);
            break;
        case Quoting::kDouble:
            out_ += double_quoted_text(value);
            break;
        case Quoting::kBare:
            out_ += "'" + shellword_inner(value) + "'";
            break;
        }
        p_ += 1 + n;
        word_start_ = false;
        return true;
    }

    void single()
    {
        if (*p_ == '\'')
            stack_.pop_back();
        copy(1);
    }

    void double_quoted()
    {
        switch (*p_) {
        case '\\':
            copy(p_[1] != '\0' ? 2 : 1);
            return;
        case '"':
            stack_.pop_back();
            copy(1);
            word_start_ = false;
            return;
        case '`':
            backquoted();
            return;
        case '$':
            dollar();
            return;
        default:
            copy(1);
        }
    }

    void bare()
    {
        switch (*p_) {
        case '\\':
            // A backslash-newline vanishes, so a word start before it stays.
            word_start_ = word_start_ && p_[1] == '\n';
            copy(p_[1] != '\0' ? 2 : 1);
            return;
        case '`':
            backquoted();
            return;
        case '$':
            dollar();
            return;
        case '#':
            if (word_start_) {
                // The shell skips a comment; a fact's newline would end it.
                while (*p_ != '\0' && *p_ != '\n')
                    copy(1);
                return;
            }
            break;
        case '\'':
            push(Quoting::kSingle);
            break;
        case '"':
            push(Quoting::kDouble);
            break;
        default:
            bare_operator();
            return;
        }
        copy(1);
        word_start_ = false;
    }

    // A bare character that may end a word or open or close a subshell;
    // any other is a word's.
    void bare_operator()
    {
        Frame& frame = stack_.back();
        bool word_start = true; // once this character is copied
        switch (*p_) {
        case '(':
            // bash's ((...)) reads its text like "...", where a ' quotes
            // nothing.
            if (p_[1] == '(') {
                lost_ = true;
                return;
            }
            ++frame.parens;
            break;
        case ')':
            if (frame.subst && frame.parens == 0) {
                stack_.pop_back();
                word_start = false;
                break;
            }
            if (frame.parens > 0)
                --frame.parens;
            break;
        case '<':
            // A here-document's body is quoted by rules of its own.
            if (p_[1] == '<') {
                heredoc_ = true;
                copy(1);
            }
            break;
        case '\n':
            if (heredoc_) {
                lost_ = true;
                return;
            }
            break;
        case ' ':
        case '\t':
        case ';':
        case '&':
        case '|':
        case '>':
            break;
        default:
            // A case pattern's ')' would seem to end the $(...).
            if (frame.subst && word_start_ && starts_case()) {
                lost_ = true;
                return;
            }
            word_start = false;
        }
        copy(1);
        word_start_ = word_start;
    }

    bool starts_case() const
    {
        return std::string_view(p_).substr(0, 4) == "case" &&
               !std::isalnum(static_cast<unsigned char>(p_[4])) && p_[4] != '_';
    }

    // At a '$' not followed by a letter, bare or inside "...".
    void dollar()
    {
        char next = p_[1];
        word_start_ = false;
        if (next == '(' && p_[2] == '(') {
            lost_ = true; // $((...)): arithmetic, which bash may expand twice
        } else if (next == '(') {
            copy(2);
            push(Quoting::kBare, true);
            word_start_ = true;
        } else if (next == '{') {
            if (std::size_t n = plain_braces(p_ + 1))
                copy(1 + n);
            else
                lost_ = true; // ${name op word}: shells quote the word differently
        } else if (next == '[' || (next == '\'' && stack_.back().quoting == Quoting::kBare)) {
            lost_ = true; // bash's $[...] arithmetic; $'...' takes backslash escapes
        } else if (next != '\0' && std::strchr("$?#!-*@0123456789", next) != nullptr) {
            copy(2); // a special parameter: "$$tsi" is the process id, then "tsi"
        } else {
            copy(1);
        }
    }

    // The length of "{name}", "{#name}", "{7}" or "{?}" at `p`, else 0.
    static std::size_t plain_braces(const char* p)
    {
        const char* q = p + 1;
        if (*q == '#' && q[1] != '}')
            ++q;
        if (std::isalpha(static_cast<unsigned char>(*q)) || *q == '_') {
            while (std::isalnum(static_cast<unsigned char>(*q)) || *q == '_')
                ++q;
        } else if (std::isdigit(static_cast<unsigned char>(*q))) {
            while (std::isdigit(static_cast<unsigned char>(*q)))
                ++q;
        } else if (*q != '\0' && std::strchr("$?#!-*@", *q) != nullptr) {
            ++q;
        } else {
            return 0;
        }
        return *q == '}' ? static_cast<std::size_t>(q + 1 - p) : 0;
    }

    // `...` is copied whole: the shell strips some backslashes inside and
    // reads it again, and shells differ on which, so a fact inside is lost.
    void backquoted()
    {
        const char* end = p_ + 1;
        for (; *end != '\0' && *end != '`'; ++end) {
            std::string value;
            if (*end == '$' && key_fact(end + 1, value) > 0) {
                lost_ = true;
                return;
            }
            if (*end == '\\' && end[1] != '\0')
                ++end;
        }
        copy(static_cast<std::size_t>(end - p_) + (*end != '\0' ? 1 : 0));
        word_start_ = false;
    }

    const DispatchRun& run_;
    const char* p_;
    std::string& out_;
    std::vector<Frame> stack_{{Quoting::kBare, false, 0}};
    bool word_start_ = true; // a '#' here would start a comment
    bool heredoc_ = false;   // a "<<" waits for the end of its line
    bool lost_ = false;
};

void set_child_path()
{
    std::string path;
    if (const char* configured = get_config("zel-dispatch-path")) {
        path = configured;
    } else {
        std::string dir = fax_directory(kDefaultFaxDir);
        path = "/bin:/usr/bin:" + dir + "/lib:" + dir + "/bin";
    }
    setenv("PATH", path.c_str(), 1);
}

// The child gets /dev/null for its streams and no other descriptor.
[[noreturn]] void exec_discarding_output(const std::string& command)
{
    logclose();
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    for (int i = 0; i < 3; ++i)
        if (open("/dev/null", O_RDWR) < 0)
            _exit(127);
    close_descriptors_from(STDERR_FILENO + 1);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

} // namespace

int dispatch_expand(const DispatchRun& run, const char* action, std::string& out)
{
    return Expander(run, action, out).run();
}

int DoCommand(const DispatchRun& run, const char* action)
{
    set_child_path();
    run.trace("DoCommand '%s'\n", action);
    std::string command;
    int expanded = dispatch_expand(run, action, command);
    if (expanded == EXPAND_TOO_LONG) {
        // XXX: cutting the command could end it inside a quoted value, so
        // the action is not run at all and the fax stays undelivered.
        logmsg(LOG_TOFILE, LOG_ERROR, 0, "Cannot execute action '%s' (longer than %zu characters)",
               action, DISPATCH_COMMAND_MAX);
        return DELIVERY_FAILED;
    }
    if (expanded == EXPAND_UNQUOTABLE) {
        logmsg(
            LOG_TOFILE, LOG_ERROR, 0,
            "Cannot execute action '%s' (cannot quote a fact there: use $(...), '...' or \"...\")",
            action);
        return DELIVERY_FAILED;
    }
    std::fflush(nullptr);
    errno = 0;
    pid_t pid = fork();
    if (pid < 0) {
        logmsg(LOG_TOFILE, LOG_ERROR, 0, "Cannot execute action '%s' (fork: %d)", action, errno);
        return DELIVERY_FAILED;
    }
    if (pid == 0)
        exec_discarding_output(command);
    run.trace("DoCommand processed: '%s'\n", command.c_str());

    int status = 0;
    pid_t waited;
    while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited == pid && status == 0) {
        logmsg(LOG_TOFILE, LOG_INFO, 0, "Command executed (action: %s)", action);
        return DELIVERY_DONE;
    }
    logmsg(LOG_TOFILE, LOG_ERROR, 0, "Error executing action '%s' (%d)", action, errno);
    return DELIVERY_FAILED;
}
