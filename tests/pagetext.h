// pagetext: the frame of every page as the page writers (www/wwwputhtml)
// send it, so page tests can compare whole responses: the fixed texts are
// the writers' own constants, and the head with its title, the banner and
// the footer are what the writers write, run in a child of the test.
// These bytes are checked once, against literal text, in
// tests/www/wwwputhtml_test.cpp.
#pragma once

#include <string>

#include "www/wwwputhtml.h"

namespace pagetext {

// The header lines that keep every answer out of other sites' frames and
// out of caches.
inline const std::string kFrame = FRAME_HEADERS;
inline const std::string kBody = BODY_TAG;

// What the first puthtml of a run sends before its text, without and with
// the frame headers ahead of it.
inline const std::string kDocumentHead = DOCUMENT_HEAD + kBody;
inline const std::string kResponseHead = kFrame + kDocumentHead;

// A page opened with its own title.
std::string pagehead(const std::string& title);

// The banner, with the Help! button of `helpid` ("" none) and the company
// name as the page shows it, escaped ("" none); `script` is SCRIPT_NAME as
// the page links it.
std::string banner(const std::string& helpid, const std::string& script = "",
                   const std::string& company = "");

std::string footer(const std::string& script = "");

// The title of the page `name`, as most pages are titled.
inline std::string title(const std::string& name)
{
    return "Vantrel Image Messaging Software - " + name;
}

// A page in the frame most pages share: the head with title(name), the
// banner (`helpid`, `script`, `company` as there), `body` and the footer.
inline std::string framed(const std::string& name, const std::string& helpid,
                          const std::string& body, const std::string& script = "",
                          const std::string& company = "")
{
    return pagehead(title(name)) + banner(helpid, script, company) + body + footer(script);
}

} // namespace pagetext
