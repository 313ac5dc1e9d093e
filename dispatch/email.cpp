// email: delivery through the e-mail gateway, run directly (no shell).
// The gateway accepts a fax only by exiting 0 without a word: any text,
// even a warning, means the mail may not have gone.
#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "dispatch/zeldispatch.h"
#include "lib/config.h"
#include "lib/log.h"
#include "lib/spawn.h"

namespace {

constexpr std::size_t kGatewayBuffer = 10240;
constexpr const char* kDefaultZelDir = "/opt/vantrel";

std::string gateway_path()
{
    const char* zeldir = get_config("zel-directory");
    return std::string(zeldir ? zeldir : kDefaultZelDir) + "/lib/tarnixfeg";
}

bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// The gateway's text on one log line: its closing line ends dropped, every
// other CR and LF shown as "|", so that no line of it passes for a log line
// of its own.
const char* as_one_line(std::vector<char>& text)
{
    std::string::size_type n = std::char_traits<char>::length(text.data());
    while (n > 0 && is_line_end(text[n - 1]))
        text[--n] = '\0';
    std::replace_if(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), is_line_end, '|');
    return text.data();
}

} // namespace

int email_fax(const DispatchRun& run, const char* address, bool html, bool pdf, int linkmode)
{
    std::string program = gateway_path();
    std::vector<const char*> args{"tarnixfeg"};
    if (html)
        args.push_back("-f");
    if (pdf)
        args.push_back("-p");
    if (linkmode == EMAIL_LINK)
        args.push_back("-U");
    else if (linkmode == EMAIL_LINK_AND_FILE)
        args.push_back("-u");
    args.insert(args.end(), {"-a", address, run.faxpath});

    std::string shown = "Email: " + program + " ";
    for (const char* arg : args)
        shown += std::string(arg) + " ";
    run.trace("%s\n", shown.c_str());
    args.push_back(nullptr);

    std::vector<char> out(kGatewayBuffer), err(kGatewayBuffer);
    int status = run_program_split_output(program.c_str(), const_cast<char* const*>(args.data()),
                                          out.data(), err.data(), kGatewayBuffer);
    if (status != 0 || out[0] != '\0' || err[0] != '\0') {
        logmsg(LOG_TOFILE | LOG_TOECHO | LOG_TOCONSOLE, LOG_ERROR, 0,
               "Unable to email fax to %s (%d, %s/%s)", address, status, as_one_line(out),
               as_one_line(err));
        return DELIVERY_FAILED;
    }
    logmsg(LOG_TOFILE, LOG_INFO, run.linecode, "Fax emailed to %s", address);
    return DELIVERY_DONE;
}
