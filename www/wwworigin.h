// wwworigin: where a request came from, by the headers a browser sends
// with it (Sec-Fetch-Site, Origin, Referer), compared with the host the
// request was made to (as the web server or a proxy in front of it passes
// it on) and the origins the configuration allows.  Reads the CGI
// environment only; keeps no state and never fails: a header it cannot
// make sense of counts as another site's, or as no host to compare with.
#pragma once

#include <string>
#include <vector>

// requestorigin verdicts.
constexpr int ORIGIN_UNKNOWN = 0; // none of the three headers: no evidence either way
constexpr int ORIGIN_SAME = 1;    // this site (or a user's own navigation)
constexpr int ORIGIN_CROSS = -1;  // another site

// A value the request's own address was taken from, for telling why.
struct OriginHost {
    const char* name; // "Host", "SERVER_NAME", "SERVER_PORT", "X-Forwarded-Host", "Forwarded"
    std::string value;
};

struct OriginVerdict {
    int verdict = ORIGIN_UNKNOWN;
    const char* header = nullptr; // the header that decided, as the request names it
    std::string value;            // its value
    // Whether Origin or Referer was compared with the request's address,
    // and what that address was taken from (empty when the server passed
    // no host on), besides `allowed`.
    bool judged = false;
    std::vector<OriginHost> compared;
};

// Judges the request in the environment.  The first header present
// decides: Sec-Fetch-Site ("same-origin" and "none" are this site), else
// Origin ("null" is another site), else Referer; an empty value counts as
// absent.  Origin and Referer are this site when their host and port (a
// missing port is the scheme's default, http or https) equal those of
// one of:
//   HTTP_HOST (else SERVER_NAME and SERVER_PORT); a host without a port
//     there also matches SERVER_PORT, as servers pass the name alone;
//   the first entry of X-Forwarded-Host, and the first element's host=
//     of Forwarded, which a proxy in front sets (a page of another site
//     cannot make a browser send either);
//   the blank-separated origins in `allowed` (may be null).
OriginVerdict requestorigin(const char* allowed);
