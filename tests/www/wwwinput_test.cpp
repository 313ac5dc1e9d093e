#include "www/wwwinput.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tests/harness.h"
#include "tests/pagetext.h"
#include "www/wwwputhtml.h"

namespace {

// What the page holds after the document head.
std::string afterhead(const std::string& out)
{
    std::size_t at = out.find(pagetext::kBody);
    return at == std::string::npos ? "<no body>" + out : out.substr(at + pagetext::kBody.size());
}

// Runs `body` in a child whose standard input is `input` and whose
// environment has `env` (a null value unsets the name).
RunResult with_request(const Sandbox& box, const std::string& input,
                       const std::map<std::string, const char*>& env,
                       const std::function<void()>& body)
{
    box.write("tmp/stdin", input);
    std::string path = box.path("tmp/stdin");
    return box.run_forked([&] {
        if (std::freopen(path.c_str(), "r", stdin) == nullptr)
            std::_Exit(99);
        for (const auto& [name, value] : env) {
            if (value != nullptr)
                setenv(name.c_str(), value, 1);
            else
                unsetenv(name.c_str());
        }
        body();
    });
}

// A urlencoded post: the result, the fields after the head, then what
// standard input still holds.
RunResult post(const Sandbox& box, const std::string& input, const char* length)
{
    return with_request(box, input,
                        {{"REQUEST_METHOD", "POST"},
                         {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                         {"CONTENT_LENGTH", length}},
                        [] {
                            int n = decodeform();
                            std::printf("%d %d\n", n, formfieldcount());
                            if (formhead.next != nullptr)
                                dumpfields(stdout, formhead.next);
                            std::printf("rest:");
                            for (int c; (c = std::getchar()) != EOF;)
                                std::putchar(c);
                        });
}

std::string field(int n, const char* name, const char* value)
{
    char line[64];
    std::snprintf(line, sizeof line, "%2d. lp([0 - 0] [NULL!] [%s] [NULL!] [%s])\n", n, name,
                  value);
    return line;
}

struct FieldCase {
    const char* input;
    long length;
    int result;
    const char* name; // null: none
    const char* value;
    long remaining;
    const char* rest; // what the stream still holds
};

std::string show(const char* text)
{
    return text != nullptr ? "[" + std::string(text) + "]" : "none";
}

} // namespace

TEST(WwwInputTest, ReadFormField)
{
    const FieldCase cases[] = {
        {"a=1&b=2", 7, FIELD_OK, "a", "1", 3, "b=2"},
        {"v=%41%62+c%3d", 13, FIELD_OK, "v", "Ab c=", 0, ""},
        {"a=b=c", 5, FIELD_OK, "a", "b=c", 0, ""},
        {"novalue&", 8, FIELD_OK, "novalue", nullptr, 0, ""},
        {"x=&", 3, FIELD_OK, "x", "", 0, ""},
        {"&x", 2, FIELD_OK, "", nullptr, 1, "x"},
        {"", 5, FIELD_OK, "", nullptr, 5, ""},
        {"a=123456", 4, FIELD_OK, "a", "12", 0, "3456"},
        {"%3D=%26", 7, FIELD_OK, "=", "&", 0, ""},
        // An escape cut short by the length never reads past it.
        {"v=%41", 4, FIELD_OK, "v", "\x04", 0, "1"},
        {"v=%41", 3, FIELD_OK, "v", "%", 0, "41"},
        {"v=%4", 9, FIELD_OK, "v", "\x04", 5, ""},
        {"k=%4a%4A", 8, FIELD_OK, "k", "JJ", 0, ""},
    };
    for (const FieldCase& c : cases) {
        std::string input = c.input;
        FILE* in = fmemopen(input.data(), input.size(), "r");
        ASSERT_NE(in, nullptr);
        long remaining = c.length;
        char* name = nullptr;
        char* value = nullptr;
        EXPECT_EQ(readformfield(in, &remaining, &name, &value), c.result) << c.input;
        EXPECT_EQ(show(name), show(c.name)) << c.input;
        EXPECT_EQ(show(value), show(c.value)) << c.input;
        EXPECT_EQ(remaining, c.remaining) << c.input;
        std::string rest;
        for (int ch; (ch = std::getc(in)) != EOF;)
            rest += static_cast<char>(ch);
        EXPECT_EQ(rest, c.rest) << c.input;
        std::fclose(in);
        std::free(name);
        std::free(value);
    }
}

TEST(WwwInputTest, TooLongFieldStopsAtTheLimit)
{
    struct Case {
        std::string input;
        int result;
        const char* name;
        std::size_t valuelen; // 0: no value
    } cases[] = {
        {"a=" + std::string(FIELD_MAX - 1, 'v') + "&", FIELD_OK, "a", FIELD_MAX - 1},
        {"a=" + std::string(FIELD_MAX, 'v') + "&", FIELD_TOOLONG, "a", 0},
        {std::string(FIELD_MAX, 'n') + "=1", FIELD_TOOLONG, nullptr, 0},
    };
    for (Case& c : cases) {
        FILE* in = fmemopen(c.input.data(), c.input.size(), "r");
        ASSERT_NE(in, nullptr);
        long remaining = static_cast<long>(c.input.size()) + 10;
        char* name = nullptr;
        char* value = nullptr;
        EXPECT_EQ(readformfield(in, &remaining, &name, &value), c.result);
        EXPECT_EQ(show(name), show(c.name));
        EXPECT_EQ(value == nullptr ? 0 : std::strlen(value), c.valuelen);
        // The remaining length counts exactly the bytes taken.
        EXPECT_EQ(remaining, static_cast<long>(c.input.size()) + 10 - std::ftell(in));
        std::fclose(in);
        std::free(name);
        std::free(value);
    }
}

TEST(WwwInputTest, DecodeUrlencoded)
{
    Sandbox box;
    RunResult r = post(box, "x=1&y=&z", "8");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "3 3\n" + field(1, "x", "1") + field(2, "y", "") + field(3, "z", "NULL!") + "rest:");

    r = with_request(box, "a=first&a=second&z&f=%41%62+c%3d",
                     {{"REQUEST_METHOD", "POST"},
                      {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                      {"CONTENT_LENGTH", "32"}},
                     [] {
                         decodeform();
                         std::printf("%s|%s|%s|%s|%d", formvalue("a"), formvalue("f"),
                                     formvalue("z") ? "set" : "none",
                                     formvalue("A") ? "set" : "none", form_encoding);
                     });
    EXPECT_EQ(r.out, "first|Ab c=|none|none|1");
}

TEST(WwwInputTest, DecodeReadsOnlyContentLength)
{
    Sandbox box;
    struct Case {
        const char* input;
        const char* length;
        std::string want;
    } cases[] = {
        {"a=1&b=2&c=3", "7", "2 2\n" + field(1, "a", "1") + field(2, "b", "2") + "rest:&c=3"},
        {"a=1", "100", "1 1\n" + field(1, "a", "1") + "rest:"},
        {"a=1", nullptr, "0 0\nrest:a=1"},
        {"a=1", "-5", "0 0\nrest:a=1"},
        {"a=1", "many", "0 0\nrest:a=1"},
        {"a=1", "0", "0 0\nrest:a=1"},
        {"&&", "2", "2 2\n" + field(1, "", "NULL!") + field(2, "", "NULL!") + "rest:"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(post(box, c.input, c.length).out, c.want) << c.input << " " << show(c.length);
}

TEST(WwwInputTest, DecodeGoesOnAfterATooLongField)
{
    Sandbox box;
    std::string body = "a=" + std::string(FIELD_MAX, 'v') + "&b=2";
    RunResult r = post(box, body + "&TAIL", std::to_string(body.size()).c_str());
    EXPECT_EQ(r.out, "3 3\n" + field(1, "a", "NULL!") + field(2, "", "NULL!") + field(3, "b", "2") +
                         "rest:&TAIL");
}

TEST(WwwInputTest, RequestErrors)
{
    Sandbox box;
    const std::string support =
        "<p>Please contact the system administrator for this server (support@vantrel.com) "
        "if you need more information on using this CGI program.\n";
    struct Case {
        const char* method;
        const char* type;
        int result;
        std::string page;
    } cases[] = {
        {"GET", "application/x-www-form-urlencoded", FORM_BADMETHOD,
         "<h2>ERROR WF090</h2><p>This script must be referenced with a METHOD of POST.\n" +
             support + "<p>(Called with REQUEST_METHOD = 'GET')\n"},
        {"post", nullptr, FORM_BADMETHOD,
         "<h2>ERROR WF090</h2><p>This script must be referenced with a METHOD of POST.\n" +
             support + "<p>(Called with REQUEST_METHOD = 'post')\n"},
        {nullptr, nullptr, FORM_BADMETHOD,
         "<h2>ERROR WF090</h2><p>This script must be referenced with a METHOD of POST.\n" +
             support + "<p>(Called with REQUEST_METHOD = '')\n"},
        {"POST", nullptr, FORM_NOTYPE,
         "<h2>ERROR WF091</h2><p>This script is being called without CONTENT_TYPE defined.\n" +
             support},
        {"POST", "application/x-www-form-urlencoded; charset=UTF-8", FORM_BADTYPE,
         "<h2>ERROR WF092</h2><p>This script can only be used to decode form results.\n" + support +
             "<p>(Called with CONTENT_TYPE = 'application/x-www-form-urlencoded; "
             "charset=UTF-8')\n"},
        {"POST", "text/<b>", FORM_BADTYPE,
         "<h2>ERROR WF092</h2><p>This script can only be used to decode form results.\n" + support +
             "<p>(Called with CONTENT_TYPE = 'text/&lt;b&gt;')\n"},
    };
    for (const Case& c : cases) {
        RunResult r = with_request(
            box, "a=1",
            {{"REQUEST_METHOD", c.method}, {"CONTENT_TYPE", c.type}, {"CONTENT_LENGTH", "3"}},
            [] { std::printf("=%d", decodeform()); });
        EXPECT_EQ(afterhead(r.out), c.page + "=" + std::to_string(c.result)) << show(c.method);
    }
}

TEST(WwwInputTest, MultipartGoesToTheMimeReader)
{
    Sandbox box;
    RunResult r = with_request(box, "--xyz\r\n",
                               {{"REQUEST_METHOD", "POST"},
                                {"CONTENT_TYPE", "multipart/form-data; boundary=xyz"},
                                {"CONTENT_LENGTH", "7"}},
                               [] {
                                   int n = decodeform();
                                   std::printf("%d %d", n, form_encoding);
                               });
    EXPECT_EQ(r.out, "0 2");
}

TEST(WwwInputTest, ListForm)
{
    Sandbox box;
    RunResult r = with_request(box, "a=%3Cb%3E",
                               {{"REQUEST_METHOD", "POST"},
                                {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                                {"CONTENT_LENGTH", "9"}},
                               [] { listform(decodeform()); });
    EXPECT_EQ(afterhead(r.out), "<h2>Listing of Form Data (1)</h2><pre>" +
                                    field(1, "NULL!", "NULL!") + field(2, "a", "&lt;b&gt;") +
                                    "</pre>\n");
}

TEST(WwwInputTest, EchoRequest)
{
    Sandbox box;
    std::string copy = box.path("tmp/cgi.copy");
    box.write("tmp/cgi.copy", "an older and longer copy");
    auto echo = [&](const char* length, const char* copypath) {
        return with_request(box, "a=1&b=<2>XX", {{"CONTENT_LENGTH", length}}, [=] {
            char env0[] = "A=1";
            char env1[] = "B=x\ty\xc3";
            char* envp[] = {env0, env1, nullptr};
            echorequest(envp, copypath);
        });
    };
    const std::string env = "<p><strong>Environment is:</strong><p><pre>\n"
                            "(A=1)\n\n(B=x<09>y<ffffffc3>)\n\n";
    const std::string stdin_is = "<p><strong>Stdin is:</strong><p><pre>\n";

    RunResult r = echo("9", nullptr);
    EXPECT_EQ(afterhead(r.out), env + "</pre><br><hr><p>\nContent length is 9.\n" + stdin_is +
                                    "a=1&amp;\nb=&lt;2&gt;</pre>\n");

    r = echo("9", copy.c_str());
    EXPECT_EQ(afterhead(r.out), env + "</pre><br><hr><p>\nContent length is 9.\n" + stdin_is +
                                    "a=1&amp;\nb=&lt;2&gt;</pre>\n");
    EXPECT_EQ(box.read("tmp/cgi.copy"), "a=1&b=<2>");

    std::string nowhere = box.path("missing/cgi.copy");
    r = echo("100", nowhere.c_str());
    EXPECT_EQ(afterhead(r.out), env + "</pre><br><hr><p>\nContent length is 100.\n" + stdin_is +
                                    "Cannot open file '" + nowhere +
                                    "'\na=1&amp;\nb=&lt;2&gt;XX</pre>\n");

    r = echo("-3", nullptr);
    EXPECT_EQ(afterhead(r.out),
              env + "</pre><br><hr><p>\nContent length is -3.\n" + stdin_is + "</pre>\n");
    r = echo("lots", nullptr);
    EXPECT_EQ(afterhead(r.out),
              env + "</pre><br><hr><p>\nContent length is 0.\n" + stdin_is + "</pre>\n");
    r = echo(nullptr, nullptr);
    EXPECT_EQ(afterhead(r.out),
              env + "</pre><br><hr><p>\nContent length is not specified.Z\n</pre>\n");
}
