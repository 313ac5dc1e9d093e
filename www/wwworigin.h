// wwworigin: where a request came from, by the headers a browser sends
// with it (Sec-Fetch-Site, Origin, Referer), compared with the host the
// request was made to and the origins the configuration allows.  Reads
// the CGI environment only; keeps no state and never fails: a header it
// cannot make sense of counts as another site's.
#pragma once

#include <string>

// requestorigin verdicts.
constexpr int ORIGIN_UNKNOWN = 0;  // none of the three headers: no evidence either way
constexpr int ORIGIN_SAME = 1;     // this site (or a user's own navigation)
constexpr int ORIGIN_CROSS = -1;   // another site

struct OriginVerdict {
    int verdict = ORIGIN_UNKNOWN;
    const char* header = nullptr;  // the header that decided, as the request names it
    std::string value;             // its value
};

// Judges the request in the environment.  The first header present
// decides: Sec-Fetch-Site ("same-origin" and "none" are this site), else
// Origin ("null" is another site), else Referer; an empty value counts as
// absent.  Origin and Referer are this site when their host and port
// (without the scheme; a missing port is the scheme's default) equal those
// of HTTP_HOST (else SERVER_NAME and SERVER_PORT) or of one of the
// blank-separated origins in `allowed` (may be null).
OriginVerdict requestorigin(const char* allowed);

