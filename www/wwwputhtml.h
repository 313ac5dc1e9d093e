// wwwputhtml: everything zeladmin writes to standard output as a page: the
// CGI header and document head, the banner and footer around handler
// pages, expansion of "$NAME" environment references in page text, HTML
// escaping, and the page error list.  Owns the head state and the error
// list.  Nothing here reports an error; write errors are not detected.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The response's status line and the frame headers (which every answer
// carries) go out once, ahead of the first header line of the answer, so
// the status may still change until the answer starts.  Without a status
// set, none is written.  `raw` gives "HTTP/1.0 <status>" for a server that
// passes raw status lines on, else a CGI "Status: <status>" line.
void setstatus(const char* status, bool raw);
bool statusset();
void putstatusline();   // the pending status line, if any
void putframeheaders(); // X-Frame-Options, frame-ancestors and Cache-Control, once
void putheaders();      // both, in that order
bool framesent();       // whether the frame headers have gone out

// Head states.
constexpr int HEAD_NONE = 0; // nothing sent
constexpr int HEAD_SENT = 1; // CGI header and document head sent
constexpr int HEAD_BODY = 2; // body element written
int headstate();

// Size of the buffer an expansion must fit (NUL included); longer
// expansions are cut.
constexpr std::size_t EXPAND_SIZE = 512;

// printf-style page text: opens the document as needed (header, head,
// body), expands environment references in `format` (an inserted value is
// taken literally, '%' included), then formats the arguments into it, and
// flushes.
void puthtml(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style page text as it stands: opens the document as needed, but
// neither expands nor flushes, so that the rows of a long list leave in
// the stream's blocks (a flushing writer, a tool run or the exit sends
// them).  Values are escaped by the caller.
void putf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens a page with its own title (formatted, not expanded), whatever has
// been sent before; leaves the body open.
void putpagehead(const char* format, ...) __attribute__((format(printf, 1, 2)));

void putbanner(const char* helpid); // null: no Help! button
void puthelpbutton(const char* helpid);
void putfooter();

// Writes `text` with <, > and & as entities (command output in a page).
void puthtmlescaped(const char* text);

// `text` with & < > " ' as entities, for values inside elements and
// attribute values alike.
std::string htmlescape(std::string_view text);
// The same, appended to `out`.
void htmlescapeto(std::string& out, std::string_view text);

// Copies `text` into `out` (room for `size` bytes) with each $NAME (letters,
// digits, '_', at most 127) replaced by getenv(NAME), HTML-escaped and a
// trailing '/' dropped; an unset name or a lone '$' inserts nothing.
// $SCRIPT_NAME that ends with a non-empty PATH_INFO inserts what precedes
// it.  Cut to fit; always terminated.  Returns out.
char* expandenv(const char* text, char* out, std::size_t size = EXPAND_SIZE);

void putline(const char* text);          // expanded, then an LF
void putlines(const char* const* texts); // putline each, up to a null entry
void putexpanded(const char* text);      // putline without the LF

// Page text ready as it stands, built and escaped by the caller: as
// putf("%s", text), but not cut at a NUL byte.
void puttext(std::string_view text);

// The page error list: up to 64 messages (pointers kept, not copied; more
// are dropped).
constexpr int MAX_ERRORS = 64;
void adderror(const char* message);
int errorcount();
void clearerrors();
void puterrors();

// The maker's support mailbox and web site, as the pages name them.
extern const char* const SUPPORT_EMAIL;
extern const char* const MAKER_URL;

// The fixed texts that frame every answer, as the writers send them (the
// tests build their expected answers from these): the headers that keep
// it out of other sites' frames and out of caches; the document head that
// the first puthtml of an answer sends after them; the body element.
extern const char FRAME_HEADERS[];
extern const char DOCUMENT_HEAD[];
extern const char BODY_TAG[];

// Back to nothing sent, no status (for tests).
void puthtml_reset();
