#include "www/wwworigin.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// The host and port a URL, an origin or a Host header names.
struct Endpoint {
    bool valid = false;
    bool hasscheme = false;
    std::string host;         // lower case; IPv6 literals keep their brackets
    std::string port;         // digits without leading zeros; empty when not given
    std::string defaultport;  // the scheme's, empty when unknown
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

// "host[:port]", the userinfo of a URL already cut off.
bool splitauthority(std::string_view authority, Endpoint& end)
{
    std::string_view host = authority, port;
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
        }
    } else if (std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        if (port.find(':') != std::string_view::npos)
            return false;
    }
    if (host.empty())
        return false;
    if (!port.empty() || authority.ends_with(':')) {
        if (!alldigits(port))
            return false;
        while (port.size() > 1 && port[0] == '0')
            port.remove_prefix(1);
    }
    end.host = lower(host);
    end.port = std::string(port);
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

bool same(const Endpoint& a, const Endpoint& b)
{
    return a.valid && b.valid && a.host == b.host && portof(a, b) == portof(b, a);
}

// The host the request was made to, as the server passes it on.
Endpoint requesthost()
{
    if (const char* host = nonempty("HTTP_HOST"))
        return parse(host);
    const char* name = nonempty("SERVER_NAME");
    if (name == nullptr)
        return {};
    std::string authority = name;
    if (const char* port = nonempty("SERVER_PORT"))
        authority += std::string(":") + port;
    return parse(authority);
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
        if (same(from, parse(entry)))
            return true;
        at = end == std::string_view::npos ? end : list.find_first_not_of(blanks, end);
    }
    return false;
}

int judge(const char* url, const char* allowed)
{
    Endpoint from = parse(url);
    return same(from, requesthost()) || allowedorigin(from, allowed) ? ORIGIN_SAME : ORIGIN_CROSS;
}

} // namespace

OriginVerdict requestorigin(const char* allowed)
{
    OriginVerdict result;
    if (const char* site = nonempty("HTTP_SEC_FETCH_SITE")) {
        // "none": the user's own navigation (typed, bookmarked).
        bool ours = iequals(site, "same-origin") || iequals(site, "none");
        result = {ours ? ORIGIN_SAME : ORIGIN_CROSS, "Sec-Fetch-Site", site};
    } else if (const char* origin = nonempty("HTTP_ORIGIN")) {
        // "null": a sandboxed frame, a data: page, a redirect from elsewhere.
        int verdict = std::strcmp(origin, "null") == 0 ? ORIGIN_CROSS : judge(origin, allowed);
        result = {verdict, "Origin", origin};
    } else if (const char* referer = nonempty("HTTP_REFERER")) {
        result = {judge(referer, allowed), "Referer", referer};
    }
    return result;
}

