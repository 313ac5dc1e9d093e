#include "www/wwworigin.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// The host and port a URL, an origin or a Host header names.
struct Endpoint {
    bool valid = false;
    bool hasscheme = false;
    std::string host;        // lower case; IPv6 literals keep their brackets
    std::string port;        // digits without leading zeros; empty when not given
    std::string defaultport; // the scheme's, empty when unknown
};

// A host the request was made to.  `serverport` is the port the server
// listens on, when it passed the host's name without one.
struct Target {
    Endpoint end;
    std::string serverport;
};

const char* nonempty(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

bool iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool alldigits(std::string_view text)
{
    if (text.empty() || text.size() > 10)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// A port's digits without leading zeros, or "" when they are none.
std::string portnumber(std::string_view port)
{
    if (!alldigits(port))
        return "";
    while (port.size() > 1 && port[0] == '0')
        port.remove_prefix(1);
    return std::string(port);
}

bool alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A host name or IPv4 address, or an IPv6 literal in brackets: nothing a
// header could hide another host behind.
bool validhost(std::string_view host)
{
    if (host.starts_with('[')) {
        if (host.size() < 3 || !host.ends_with(']'))
            return false;
        host = host.substr(1, host.size() - 2);
        for (char c : host)
            if (!alnum(c) && c != ':' && c != '.')
                return false;
        return true;
    }
    for (char c : host)
        if (!alnum(c) && c != '-' && c != '.' && c != '_' && c != '~')
            return false;
    return !host.empty();
}

// "host[:port]", the userinfo of a URL already cut off.
bool splitauthority(std::string_view authority, Endpoint& end)
{
    std::string_view host = authority, port;
    bool hasport = false;
    if (authority.starts_with('[')) {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        host = authority.substr(0, close + 1);
        std::string_view rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return false;
            port = rest.substr(1);
            hasport = true;
        }
    } else if (std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        hasport = true;
    }
    if (!validhost(host))
        return false;
    if (hasport) {
        end.port = portnumber(port);
        if (end.port.empty())
            return false;
    }
    end.host = lower(host);
    return true;
}

// A URL or origin ("scheme://authority[/...]"), or a bare authority.
Endpoint parse(std::string_view text)
{
    Endpoint end;
    std::string_view authority = text;
    if (std::size_t sep = text.find("://"); sep != std::string_view::npos) {
        std::string scheme = lower(text.substr(0, sep));
        end.hasscheme = true;
        if (scheme == "http")
            end.defaultport = "80";
        else if (scheme == "https")
            end.defaultport = "443";
        authority = text.substr(sep + 3);
        authority = authority.substr(0, authority.find_first_of("/?#"));
        // "http://this.host@other.host/" is the other host.
        if (std::size_t at = authority.rfind('@'); at != std::string_view::npos)
            authority.remove_prefix(at + 1);
    }
    end.valid = splitauthority(authority, end);
    return end;
}

// A port left out is the scheme's default; without a scheme (a Host
// header) it is whatever default the other side's scheme has, as a
// browser leaves out exactly that port.
std::string portof(const Endpoint& end, const Endpoint& other)
{
    if (!end.port.empty())
        return end.port;
    return end.hasscheme ? end.defaultport : other.defaultport;
}

bool same(const Endpoint& from, const Target& to)
{
    if (!from.valid || !to.end.valid || from.host != to.end.host)
        return false;
    std::string port = portof(from, to.end);
    if (port == portof(to.end, from))
        return true;
    return to.end.port.empty() && !to.serverport.empty() && port == to.serverport;
}

std::string_view trim(std::string_view text)
{
    const char* blanks = " \t";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A host as a Host header carries it; a value that is none is left out.
bool addhost(std::string_view host, const char* name, std::vector<Target>& targets,
             std::vector<OriginHost>& compared)
{
    Target target{parse(host), ""};
    if (target.end.hasscheme || !target.end.valid)
        return false;
    compared.push_back({name, std::string(host)});
    targets.push_back(target);
    return true;
}

// HTTP_HOST, else SERVER_NAME, with the port the server listens on when
// the name comes alone.
void addserverhost(std::vector<Target>& targets, std::vector<OriginHost>& compared)
{
    const char* port = nonempty("SERVER_PORT");
    std::string serverport = port ? portnumber(port) : "";
    const char* host = nonempty("HTTP_HOST");
    const char* name = host ? nullptr : nonempty("SERVER_NAME");
    bool added = false;
    if (host)
        added = addhost(host, "Host", targets, compared);
    else if (name && (!port || !serverport.empty()))
        added = addhost(name, "SERVER_NAME", targets, compared);
    if (!added || !targets.back().end.port.empty() || serverport.empty())
        return;
    // A Host without its port: the browser's may be the scheme's default
    // or the server's own; SERVER_NAME's is the server's.
    if (host)
        targets.back().serverport = serverport;
    else
        targets.back().end.port = serverport;
    compared.push_back({"SERVER_PORT", serverport});
}

bool istchar(char c)
{
    return alnum(c) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// A token or a quoted string at `at`, unquoted into `value`.
bool forwardedvalue(std::string_view text, std::size_t& at, std::string& value)
{
    value.clear();
    if (at < text.size() && text[at] == '"') {
        for (++at; at < text.size(); ++at) {
            char c = text[at];
            if (c == '"') {
                ++at;
                return true;
            }
            if (c == '\\' && ++at == text.size())
                return false;
            c = text[at];
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
                return false;
            value += c;
        }
        return false;
    }
    while (at < text.size() && istchar(text[at]))
        value += text[at++];
    return !value.empty();
}

// RFC 7239: the host= of the header's first element (empty elements
// before it skipped).  Anything malformed, or a second host= in the
// element, gives nothing.
std::string forwardedhost(std::string_view text)
{
    std::size_t at = text.find_first_not_of(" \t,");
    std::string host, name, value;
    bool found = false;
    while (at != std::string_view::npos && at < text.size()) {
        at = text.find_first_not_of(" \t", at);
        if (at == std::string_view::npos || text[at] == ',')
            break;
        if (text[at] != ';') {
            std::size_t start = at;
            while (at < text.size() && istchar(text[at]))
                ++at;
            name = text.substr(start, at - start);
            if (name.empty() || at == text.size() || text[at] != '=')
                return "";
            ++at;
            if (!forwardedvalue(text, at, value))
                return "";
            if (iequals(name, "host")) {
                if (found)
                    return "";
                found = true;
                host = value;
            }
            at = text.find_first_not_of(" \t", at);
            if (at != std::string_view::npos && text[at] != ';' && text[at] != ',')
                return "";
        }
        if (at != std::string_view::npos && text[at] == ';')
            ++at;
    }
    return host;
}

std::vector<Target> requesthosts(std::vector<OriginHost>& compared)
{
    std::vector<Target> targets;
    addserverhost(targets, compared);
    if (const char* list = nonempty("HTTP_X_FORWARDED_HOST")) {
        std::string_view first(list);
        first = trim(first.substr(0, first.find(',')));
        if (!first.empty())
            addhost(first, "X-Forwarded-Host", targets, compared);
    }
    if (const char* forwarded = nonempty("HTTP_FORWARDED")) {
        std::string host = forwardedhost(forwarded);
        if (!host.empty())
            addhost(host, "Forwarded", targets, compared);
    }
    return targets;
}

bool allowedorigin(const Endpoint& from, const char* allowed)
{
    if (allowed == nullptr)
        return false;
    std::string_view list(allowed);
    const char* blanks = " \t\r\n";
    for (std::size_t at = list.find_first_not_of(blanks); at != std::string_view::npos;) {
        std::size_t end = list.find_first_of(blanks, at);
        std::string_view entry = list.substr(at, end == std::string_view::npos ? end : end - at);
        if (same(from, Target{parse(entry), ""}))
            return true;
        at = end == std::string_view::npos ? end : list.find_first_not_of(blanks, end);
    }
    return false;
}

// Origin or Referer `url`, compared with the request's own address.
void judge(const char* url, const char* allowed, OriginVerdict& result)
{
    Endpoint from = parse(url);
    // Only a web address has an origin to compare: "file:", a bare name
    // and the like are another site's.
    bool web = from.valid && !from.defaultport.empty();
    bool ours = false;
    result.judged = true;
    for (const Target& target : requesthosts(result.compared))
        ours = ours || (web && same(from, target));
    ours = ours || (web && allowedorigin(from, allowed));
    result.verdict = ours ? ORIGIN_SAME : ORIGIN_CROSS;
}

} // namespace

OriginVerdict requestorigin(const char* allowed)
{
    OriginVerdict result;
    if (const char* site = nonempty("HTTP_SEC_FETCH_SITE")) {
        // "none": the user's own navigation (typed, bookmarked).
        bool ours = iequals(site, "same-origin") || iequals(site, "none");
        result = {ours ? ORIGIN_SAME : ORIGIN_CROSS, "Sec-Fetch-Site", site, false, {}};
    } else if (const char* origin = nonempty("HTTP_ORIGIN")) {
        result = {ORIGIN_CROSS, "Origin", origin, false, {}};
        // "null": a sandboxed frame, a data: page, a redirect from elsewhere.
        if (std::strcmp(origin, "null") != 0)
            judge(origin, allowed, result);
    } else if (const char* referer = nonempty("HTTP_REFERER")) {
        result = {ORIGIN_CROSS, "Referer", referer, false, {}};
        judge(referer, allowed, result);
    }
    return result;
}
