// cgi: what tests of zeladmin send it: base64 and HTTP Basic headers, the
// stored form of a password, urlencoded form bodies, and the options of a
// GET or POST run of zeladmin in a sandbox.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/harness.h"

namespace cgi {

// The web server under which zeladmin speaks HTTP itself, and the status
// line it then writes before a page.
inline const std::string kNph = "SERVER_SOFTWARE=Mathopd/1.3pl7";
inline const std::string kOk = "HTTP/1.0 200 OK\r\n";
// What a browser says of a request made from the program's own pages.
inline const std::string kSameSite = "HTTP_SEC_FETCH_SITE=same-origin";
// The CONTENT_TYPE of a form posted by a browser.
inline const std::string kUrlencoded = "application/x-www-form-urlencoded";

// A form's fields, in the order a browser posts them.
using Form = std::vector<std::pair<std::string, std::string>>;

std::string base64(const std::string& bytes);
// A password as the users file stores it: the base64 of its SHA-1 digest.
std::string stored_password(const std::string& password);
// "HTTP_AUTHORIZATION=Basic …" for "user:password".
std::string basic(const std::string& credentials);
// `text` urlencoded: letters, digits and "-_.*" stay, all else is %XX.
std::string urlencode(const std::string& text);
// A form's body: its names and values urlencoded, "name=value" joined by "&".
std::string urlencode(const Form& form);

// A GET of `path` (PATH_INFO): `env` followed by REQUEST_METHOD and
// PATH_INFO, which win over the same names in `env`.
RunOptions get(const std::string& path, std::vector<std::string> env = {});
// A POST of `body` to `path`, likewise, with its CONTENT_TYPE and
// CONTENT_LENGTH.
RunOptions post(const std::string& path, const std::string& body, std::vector<std::string> env = {},
                const std::string& type = kUrlencoded);
// zeladmin run in the sandbox.
RunResult zeladmin(const Sandbox& box, const RunOptions& options);

} // namespace cgi
