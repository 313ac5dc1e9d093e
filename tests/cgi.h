// cgi: what tests of zeladmin send it: base64 and HTTP Basic headers, the
// stored form of a password, urlencoded form bodies.  Pure helpers.
#pragma once

#include <string>

namespace cgi {

// The web server under which zeladmin speaks HTTP itself, and the status
// line it then writes before a page.
inline const std::string kNph = "SERVER_SOFTWARE=Mathopd/1.3pl7";
inline const std::string kOk = "HTTP/1.0 200 OK\r\n";
// What a browser says of a request made from the program's own pages.
inline const std::string kSameSite = "HTTP_SEC_FETCH_SITE=same-origin";

std::string base64(const std::string& bytes);
// A password as the users file stores it: the base64 of its SHA-1 digest.
std::string stored_password(const std::string& password);
// "HTTP_AUTHORIZATION=Basic …" for "user:password".
std::string basic(const std::string& credentials);
// `text` urlencoded: letters, digits and "-_.*" stay, all else is %XX.
std::string urlencode(const std::string& text);

} // namespace cgi
