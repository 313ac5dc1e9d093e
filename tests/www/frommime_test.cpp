// frommime: multipart bodies as browsers and curl send them, read into the
// form-field list in a forked child whose standard input is a pipe that
// stays open (a read past the body's length would hang there), and an
// upload listed and kept by zeladmin's diagnostic paths.
#include "www/frommime.h"
#include "www/tempfiles.h"
#include "www/wwwinput.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/cgi.h"
#include "tests/harness.h"
#include "tests/pagetext.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The sandbox's tmp/ as "TMP/" and the six random characters of every
// upload name as "XXXXXX".
std::string normalized(const Sandbox& box, std::string text)
{
    const std::string tmp = box.path("tmp/");
    for (std::size_t at; (at = text.find(tmp)) != std::string::npos;)
        text.replace(at, tmp.size(), "TMP/");
    for (std::size_t at = 0; (at = text.find("TMP/mm.", at)) != std::string::npos; at += 7) {
        for (std::size_t i = at + 7; i < at + 13 && i < text.size(); ++i)
            if (std::isalnum(static_cast<unsigned char>(text[i])))
                text[i] = 'X';
    }
    return text;
}

// extractform on the first `length` bytes of `input` (all when negative):
// the count, the fields, each upload's mode and bytes, then what standard
// input still holds.  The pipe's writer ends it only after the parse, so
// reading beyond the input hangs.  The child removes its files at the end.
RunResult extract(const Sandbox& box, const std::string& input, const char* boundary,
                  long length = -1)
{
    return box.run_forked([&] {
        int fds[2];
        if (pipe(fds) != 0)
            std::_Exit(99);
        std::atomic<bool> parsed = false;
        std::thread writer([&] {
            for (std::size_t at = 0; at < input.size();) {
                ssize_t n = write(fds[1], input.data() + at, input.size() - at);
                if (n <= 0)
                    break;
                at += static_cast<std::size_t>(n);
            }
            while (!parsed)
                std::this_thread::yield();
            close(fds[1]);
        });
        dup2(fds[0], 0);
        close(fds[0]);
        int n = extractform(stdin, &formhead, boundary,
                            length < 0 ? static_cast<long>(input.size()) : length);
        parsed = true;
        std::string rest;
        for (int c; (c = std::getchar()) != EOF;)
            rest += static_cast<char>(c);
        writer.join();
        std::printf("%d\n", n);
        dumpfields(stdout, &formhead);
        for (const FormField* f = &formhead; f != nullptr; f = f->next) {
            struct stat st {};
            if (f->file && f->value && stat(f->value, &st) == 0)
                std::printf("file %o [%s]\n", static_cast<unsigned>(st.st_mode & 07777),
                            slurp(f->value).c_str());
        }
        std::printf("rest:%s", rest.c_str());
        removetempfiles();
    });
}

bool tmpempty(const Sandbox& box) { return fs::is_empty(box.path("tmp")); }

const std::string kForm =
    "--AaB03x\r\n"
    "Content-Disposition: form-data; name=\"first\"\r\n\r\nAlpha\r\n"
    "--AaB03x\r\n"
    "content-disposition: form-data;\r\n\tname=\"multi\"\r\n\r\n"
    "line one\r\n--not the boundary\r\nline three\r\n"
    "--AaB03x\r\n"
    "Content-Disposition: form-data; name=\"third\"\r\n\r\n\r\n"
    "--AaB03x\r\n"
    "Content-Disposition: form-data; name=\"upload\"; filename=\"../../etc/pa<ss>wd\"\r\n"
    "Content-Type: Application / Octet-Stream\r\n\r\n"
    "\x01\r\rbin\r\n\r\n"
    "--AaB03x--\r\nepilogue";

const std::string kFormFields =
    " 1. lp([0 - 0] [text/plain] [first] [NULL!] [Alpha])\n"
    " 2. lp([0 - 0] [text/plain] [multi] [NULL!] [line one\r\n--not the boundary\r\nline three])\n"
    " 3. lp([0 - 0] [text/plain] [third] [NULL!] [])\n"
    " 4. lp([1 - 0] [application/octet-stream] [upload] [../../etc/pa&lt;ss&gt;wd] [TMP/mm.XXXXXX])\n";

} // namespace

TEST(FrommimeTest, FormFieldsAndUpload)
{
    Sandbox box;
    RunResult r = extract(box, kForm, "\"AaB03x\"");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(normalized(box, r.out),
              "3\n" + kFormFields + "file 600 [\x01\r\rbin\r\n]\nrest:epilogue");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(tmpempty(box));

    // An empty file input still uploads an empty file; further
    // parameters after the boundary are not part of it.
    r = extract(
        box,
        "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"\"\r\n\r\n\r\n--b--\r\n",
        "b; charset=utf-8");
    EXPECT_EQ(normalized(box, r.out),
              "0\n 1. lp([1 - 0] [text/plain] [f] [] [TMP/mm.XXXXXX])\nfile 600 []\nrest:");
}

TEST(FrommimeTest, NestedAlternativeAndMessageParts)
{
    Sandbox box;
    const std::string body =
        "preamble\r\n--outer\r\n"
        "Content-Disposition: form-data; name=\"files\"\r\n"
        "Content-Type: multipart/mixed; boundary=inner\r\n\r\n"
        "--inner\r\nContent-Disposition: file; filename=\"a.txt\"\r\nContent-Type: text/plain\r\n\r\nAAA\r\n"
        "--inner\r\nContent-Disposition: file; filename=\"b.txt\"\r\n\r\nBBB\r\n"
        "--inner--\r\ninner epilogue\r\n"
        "--outer\r\n"
        "Content-Disposition: form-data; name=\"alt\"\r\n"
        "Content-Type: multipart/alternative; boundary=\"al t\"\r\n\r\n"
        "--al t\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
        "--al t\r\nContent-Type: text/html\r\n\r\n<b>html</b>\r\n"
        "--al t--\r\n"
        "--outer\r\n"
        "Content-Disposition: form-data; name=\"mail\"\r\nContent-Type: message/rfc822\r\n\r\n"
        "Subject: hi\r\nContent-Type: text/plain\r\n\r\nbody text\r\n"
        "--outer\r\n"
        "Content-Disposition: form-data; name=\"digest\"\r\n"
        "Content-Type: multipart/digest; boundary=d\r\n\r\n"
        "--d\r\n\r\nSubject: one\r\n\r\nfirst\r\n"
        "--d\r\nContent-Type: text/plain\r\n\r\nsecond\r\n"
        // The digest's closing line is missing: the outer line closes it.
        "--outer\r\n"
        "Content-Disposition: form-data; name=\"last\"\r\n\r\nz\r\n--outer--\r\n";
    RunResult r = extract(box, body, "outer");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(normalized(box, r.out),
              "7\n"
              " 1. lp([1 - 0] [text/plain] [files] [a.txt] [TMP/mm.XXXXXX])\n"
              " 2. lp([1 - 0] [text/plain] [files] [b.txt] [TMP/mm.XXXXXX])\n"
              " 3. lp([0 - 1] [text/plain] [alt] [NULL!] [plain])\n"
              " 4. lp([0 - 1] [text/html] [alt] [NULL!] [&lt;b&gt;html&lt;/b&gt;])\n"
              " 5. lp([0 - 0] [text/plain] [mail] [NULL!] [body text])\n"
              " 6. lp([0 - 0] [text/plain] [digest] [NULL!] [first])\n"
              " 7. lp([0 - 0] [text/plain] [digest] [NULL!] [second])\n"
              " 8. lp([0 - 0] [text/plain] [last] [NULL!] [z])\n"
              "file 600 [AAA]\nfile 600 [BBB]\nrest:");
    EXPECT_TRUE(tmpempty(box));
}

TEST(FrommimeTest, TransferEncodings)
{
    Sandbox box;
    auto part = [](const std::string& headers, const std::string& data) {
        return "--b\r\n" + headers + "\r\n" + data + "\r\n";
    };
    const std::string body =
        part(
            "Content-Disposition: form-data; name=\"b64\"\r\nContent-Transfer-Encoding: BASE64\r\n",
            "SGVs\r\nbG8s IHdv\r\ncmxk") +
        part(
            "Content-Disposition: form-data; name=\"qp\"\r\nContent-Transfer-Encoding: quoted-printable\r\n",
            "caf=C3=a9 =3D soft=\r\nbreak\r\n--next line=") +
        part(
            "Content-Disposition: form-data; name=\"t\"; filename=\"t.txt\"\r\nContent-Type: text/plain\r\n"
            "Content-Transfer-Encoding: base64\r\n",
            "bGluZTENCmxp\r\nbmUyDQo=\r\n-junk\r\nAAAA") +
        part("Content-Disposition: form-data; name=\"o\"; filename=\"o.bin\"\r\n"
             "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n",
             "bGluZTENCmxpbmUyDQo=") +
        part(
            "Content-Disposition: form-data; name=\"u\"; filename=\"c.txt\"\r\nContent-Transfer-Encoding: x-uuencode\r\n",
            "junk\r\nbegin 644 c.txt\r\n#0V%T\r\n`\r\nend\r\ntrailer") +
        part("Content-Disposition: form-data; name=\"raw\"\r\nContent-Transfer-Encoding: x-uue\r\n",
             "begin 644 c\r\n#0V%T") +
        "--b--\r\n";
    RunResult r = extract(box, body, "b");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(normalized(box, r.out),
              "5\n"
              " 1. lp([0 - 0] [text/plain] [b64] [NULL!] [Hello, world])\n"
              " 2. lp([0 - 0] [text/plain] [qp] [NULL!] [caf\xc3\xa9 = softbreak\r\n--next line])\n"
              " 3. lp([1 - 0] [text/plain] [t] [t.txt] [TMP/mm.XXXXXX])\n"
              " 4. lp([1 - 0] [application/octet-stream] [o] [o.bin] [TMP/mm.XXXXXX])\n"
              " 5. lp([1 - 0] [text/plain] [u] [c.txt] [TMP/mm.XXXXXX])\n"
              " 6. lp([0 - 0] [text/plain] [raw] [NULL!] [begin 644 c\r\n#0V%T])\n"
              "file 600 [line1\nline2\n]\nfile 600 [line1\r\nline2\r\n]\nfile 600 [Cat]\nrest:");
    EXPECT_EQ(r.err, "Ignoring unrecognized boundary line: -junk\n"
                     "WARNING:  Using nonstandard x-uuencode encoding, trying uuencode algorithm.\n"
                     "WARNING:  Using nonstandard x-uue encoding, trying uuencode algorithm.\n");
}

// Every prefix of a body: the parse ends with the input, keeps what it
// read of the cut part, and leaves the bytes after the length unread.
TEST(FrommimeTest, BodiesCutAnywhere)
{
    Sandbox box;
    const std::string body =
        "--b\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nAlp\r\nha\r\n"
        "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"f\"\r\n"
        "Content-Type: multipart/mixed; boundary=i\r\n\r\n--i\r\nContent-Transfer-Encoding: base64\r\n\r\nQUJD\r\n--i--\r\n"
        "--b\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n=41=\r\n--b--\r\n";
    const std::string input = body + "TRAILER";
    for (std::size_t n = 0; n <= body.size(); ++n) {
        RunResult r = extract(box, input, "b", static_cast<long>(n));
        ASSERT_EQ(r.status, 0) << n;
        std::size_t rest = r.out.find("rest:");
        ASSERT_NE(rest, std::string::npos) << n;
        EXPECT_TRUE(r.out.substr(rest + 5).ends_with(input.substr(n))) << n << r.out;
        if (n == body.find("ha\r\n")) {
            EXPECT_NE(r.out.find("[x] [NULL!] [Alp\r\n])"), std::string::npos) << r.out;
        }
    }
    EXPECT_TRUE(tmpempty(box));
}

TEST(FrommimeTest, LimitsHold)
{
    Sandbox box;
    // A value that reaches the field limit keeps its name and no value,
    // plain or decoded; the part is read up to its boundary.
    auto named = [](const std::string& name, const std::string& headers, const std::string& data) {
        return "--b\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n" + headers +
               "\r\n" + data + "\r\n";
    };
    std::string longest(FIELD_MAX - 1, 'v');
    RunResult r = extract(box,
                          named("fits", "", longest) + named("over", "", longest + "v") +
                              named("qp", "Content-Transfer-Encoding: quoted-printable\r\n",
                                    std::string(3 * FIELD_MAX, 'q')) +
                              named("n", "", "next") + "--b--",
                          "b");
    EXPECT_EQ(r.out, "3\n 1. lp([0 - 0] [text/plain] [fits] [NULL!] [" + longest +
                         "])\n"
                         " 2. lp([0 - 0] [text/plain] [over] [NULL!] [NULL!])\n"
                         " 3. lp([0 - 0] [text/plain] [qp] [NULL!] [NULL!])\n"
                         " 4. lp([0 - 0] [text/plain] [n] [NULL!] [next])\nrest:");

    // Absurd nesting: each level is a multipart with a boundary of its own.
    std::string deep;
    for (int i = 0; i < 500; ++i)
        deep += "--l" + std::to_string(i) + "x\r\nContent-Type: multipart/mixed; boundary=l" +
                std::to_string(i + 1) + "x\r\n\r\n";
    r = extract(box, deep + "x\r\n", "l0x");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 2), "0\n");

    // A boundary too long to be one, and a header line that never ends.
    std::string longb(MIME_BOUNDARY_MAX + 1, 'q');
    r = extract(box, "--" + longb + "\r\n\r\nv\r\n", longb.c_str());
    EXPECT_EQ(r.status, 0);
    r = extract(box, "--b\r\nX-Header: " + std::string(4 * MIME_HEADER_MAX, 'h'), "b");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "extractmime: Incomplete multipart message -- unexpected EOF\n");
}

namespace {

RunResult post(const Sandbox& box, const std::string& path, const std::string& body,
               const std::string& type = "multipart/form-data; boundary=zz",
               std::vector<std::string> env = {})
{
    return cgi::zeladmin(box, cgi::post(path, body, std::move(env), type));
}

// The files an upload left in the sandbox's tmp/.
std::vector<fs::path> uploads(const Sandbox& box)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(box.path("tmp")))
        files.push_back(entry.path());
    return files;
}

// What curl sends for -F fields and a binary file, captured by a one-shot
// listener: the Content-Type header's value and the body.
bool capture(const std::string& curlargs, std::string* type, std::string* body)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return false;
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    std::thread client(
        [&] { shell_output("curl -s -m 20 -o /dev/null -H 'Expect:' " + curlargs + " " + url); });
    int conn = accept(listener, nullptr, nullptr);
    std::string request;
    char buf[65536];
    std::size_t headend = std::string::npos, want = 0;
    while (conn >= 0) {
        ssize_t n = read(conn, buf, sizeof buf);
        if (n <= 0)
            break;
        request.append(buf, static_cast<std::size_t>(n));
        if (headend == std::string::npos &&
            (headend = request.find("\r\n\r\n")) != std::string::npos) {
            std::size_t at = request.find("Content-Length: ");
            want = at < headend ? std::stoul(request.substr(at + 16)) : 0;
        }
        if (headend != std::string::npos && request.size() >= headend + 4 + want)
            break;
    }
    if (conn >= 0) {
        const char answer[] = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
        (void)!write(conn, answer, sizeof answer - 1);
        close(conn);
    }
    close(listener);
    client.join();
    std::size_t at = request.find("Content-Type: ");
    if (headend == std::string::npos || at > headend)
        return false;
    *type = request.substr(at + 14, request.find("\r\n", at) - at - 14);
    *body = request.substr(headend + 4, want);
    return true;
}

} // namespace

TEST(FrommimeTest, CurlUploadListedByPrint)
{
    if (!have_program("curl"))
        GTEST_SKIP() << "curl is not installed";
    Sandbox box;
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    bytes += "\r\n--\r\r\n";
    box.write("bytes.bin", bytes);
    std::string type, body;
    ASSERT_TRUE(capture("-F 'name=Hello <you>' -F 'note=two\nlines' -F 'upload=@" +
                            box.path("bytes.bin") + ";type=application/octet-stream'",
                        &type, &body));
    ASSERT_TRUE(type.starts_with("multipart/form-data; boundary=")) << type;

    // An administrator signed in by the program.
    RunResult r = post(box, "/debug", body, type, {cgi::kNph, cgi::basic("admin:")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        normalized(box, r.out),
        cgi::kOk + pagetext::kResponseHead +
            "<h2>Listing of Form Data (2)</h2><pre>"
            " 1. lp([0 - 0] [text/plain] [name] [NULL!] [Hello &lt;you&gt;])\n"
            " 2. lp([0 - 0] [text/plain] [note] [NULL!] [two\nlines])\n"
            " 3. lp([1 - 0] [application/octet-stream] [upload] [bytes.bin] [TMP/mm.XXXXXX])\n"
            "</pre>\n");
    // /debug keeps the upload, byte for byte and private.
    box.remove("bytes.bin");
    std::vector<fs::path> files = uploads(box);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(slurp(files[0]), bytes);
    EXPECT_EQ(fs::status(files[0]).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    fs::remove(files[0]);

    r = post(box, "/print", body, type);
    EXPECT_NE(r.out.find("[bytes.bin]"), std::string::npos);
    EXPECT_TRUE(tmpempty(box));
}
