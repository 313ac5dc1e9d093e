// zeladmin as a CGI program: start-up failures, the HTTP layer under the
// raw-HTTP web server, routing and the diagnostic paths, run in sandbox
// installations and compared byte for byte.
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "admin/zeladmin.h"
#include "tests/cgi.h"
#include "tests/harness.h"
#include "tests/pagetext.h"
#include "www/wwwinput.h"

using namespace pagetext;

namespace {

using cgi::kNph;
using cgi::kOk;

const std::string kOther = "SERVER_SOFTWARE=lighttpd/1.4.69";
const std::string k401 =
    "HTTP/1.0 401 Permission\r\nWWW-Authenticate: Basic realm=\"ZELAdmin\"\r\n";
const std::string kHint =
    "<p>Please use <i>admin</i> as your User Name and leave the Password blank.";
const std::string kWF010 = "<h2>ERROR WF010</h2><p>This script was called in error";

std::string securitypage(const std::string& script = "")
{
    return framed(
        "Security Violation", "HXsecurity",
        "<h1>Security Violation</h1><p>You do not have sufficient privileges to access this "
        "administrative function.\n",
        script);
}

class RoutingTest : public SandboxTest {
protected:
    RoutingTest()
    {
        box.write(Sandbox::kUsers,
                  "# accounts\n"
                  "[admin]\nfull-name = Administrator\nprivileges = admin\n"
                  "[clerk]\nfull-name = 'The Clerk'\nfrom-email = clerk@example.com\n"
                  "password = " +
                      cgi::stored_password("secret") +
                      "\n"
                      "privileges = postmaster\n");
    }

    RunResult get(const std::string& path, std::vector<std::string> env = {}) const
    {
        return cgi::zeladmin(box, cgi::get(path, std::move(env)));
    }

    RunResult post(const std::string& path, const std::string& body,
                   std::vector<std::string> env = {},
                   const std::string& type = cgi::kUrlencoded) const
    {
        return cgi::zeladmin(box, cgi::post(path, body, std::move(env), type));
    }
};

} // namespace

TEST_F(RoutingTest, MissingConfigDirectoryIsFatal)
{
    box.write(Sandbox::kConfig, "spool-directory = " + box.path("var/opt/vantrel") + "\n");
    RunResult r = get("/Page1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(
        r.err,
        "zeladmin: ERR 999: No zel-config-directory defined in /etc/opt/vantrel/vantrel.conf\n");
    std::string log = box.read(Sandbox::kLog);
    EXPECT_NE(log.find(": zeladmin["), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with(",4]: ERR 999: No zel-config-directory defined in "
                              "/etc/opt/vantrel/vantrel.conf\n"))
        << log;
}

TEST_F(RoutingTest, UnreadableUsersFileIsFatal)
{
    box.remove(Sandbox::kUsers);
    RunResult r = get("/page2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zeladmin: ERR 999: Cannot load user parameter File\n");

    box.write(Sandbox::kUsers, "[admin\n");
    r = get("/page2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zeladmin: ERR 999: Cannot load user parameter File\n");
}

TEST_F(RoutingTest, NoCredentialsChallengesWithHint)
{
    for (const char* path : {"/Page1", "/Action4", "/Page"}) {
        RunResult r = get(path, {kNph});
        EXPECT_EQ(r.status, 0) << path;
        EXPECT_EQ(r.out, k401 + kFrame + "\r\n" + kDocumentHead +
                             "<h1>Access Error</h1><p>You must enter a valid user name/password in "
                             "order to access this page.\n" +
                             kHint)
            << path;
    }
}

TEST_F(RoutingTest, HintOnlyWhileAdminPasswordIsBlank)
{
    box.write(Sandbox::kUsers, "[admin]\npassword = " + cgi::stored_password("root") + "\n");
    RunResult r = get("/Page1", {kNph});
    EXPECT_EQ(r.out, k401 + kFrame + "\r\n" + kDocumentHead +
                         "<h1>Access Error</h1><p>You must enter a valid user name/password in "
                         "order to access this page.\n");
    // A blank value counts as no password.
    box.write(Sandbox::kUsers, "[admin]\npassword =   \n");
    r = get("/Page1", {kNph, cgi::basic("nobody:x")});
    EXPECT_NE(r.out.find(kHint), std::string::npos);
}

// No byte of a stored digest reaches a client that has not logged in: a
// wrong password leaves the comment empty, as an unknown user does.
TEST_F(RoutingTest, RejectedCredentialsShowCodeOnly)
{
    struct Case {
        std::string header, name, code;
    } cases[] = {
        {cgi::basic("clerk:wrong"), "clerk", "-4"},
        {cgi::basic("nobody:secret"), "nobody", "-6"},
        {"HTTP_AUTHORIZATION=basic " + cgi::base64("clerk:secret"), "", "-2"},
        {"HTTP_AUTHORIZATION=Digest x", "", "-2"},
        {"HTTP_AUTHORIZATION=", "", "-1"},
        // The name is the requester's own text.
        {cgi::basic("<b>\"x\"&:y"), "&lt;b&gt;&quot;x&quot;&amp;", "-6"},
    };
    for (const Case& c : cases) {
        RunResult r = get("/Page3", {kNph, c.header});
        EXPECT_EQ(r.status, 0) << c.header;
        EXPECT_EQ(r.out, k401 + kResponseHead + "<h1>Access Error</h1><p>Your user name (" +
                             c.name + ") & password are not valid! (" + c.code + ") \n" + kHint)
            << c.header;
    }
    EXPECT_EQ(box.read(Sandbox::kLog).find(cgi::stored_password("secret").substr(0, 6)),
              std::string::npos);
}

TEST_F(RoutingTest, LogoffAlwaysAnswers401)
{
    for (auto env : {std::vector<std::string>{kNph}, {kNph, cgi::basic("clerk:secret")}}) {
        RunResult r = get("/logoff", env);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, k401 + kResponseHead +
                             "<h1>Logoff</h1><p>You have successfully removed your password.\n");
    }
}

TEST_F(RoutingTest, PublicPagesNeedNoCredentials)
{
    const struct {
        const char* path;
        std::string start;
    } cases[] = {
        {"/page2", pagehead("Vantrel Image Messaging Software - Version Info")},
        {"/page7", pagehead("Vantrel Image Messaging Software - Download")},
        {"/page9", pagehead("Vantrel Image Messaging Software - Download Windows Print Driver")},
        {"/page-1", kFrame + "Content-type: image/gif\r\n\r\nGIF87a"},
        {"/", pagehead("Vantrel Image Messaging Software")},
        {"", pagehead("Vantrel Image Messaging Software")},
    };
    for (const auto& c : cases) {
        RunResult r = get(c.path, {kNph});
        EXPECT_EQ(r.status, 0) << c.path;
        EXPECT_TRUE(r.out.starts_with(kOk + c.start)) << c.path;
    }
    EXPECT_EQ(get("/page", {kNph}).out, kOk + kFrame);
}

TEST_F(RoutingTest, UnknownNumbersWriteNothing)
{
    for (const char* path : {"/Page", "/Page0", "/Page5", "/Page12x", "/Page4294967297",
                             "/page-99999999999999999999", "/page-9223372036854775808"}) {
        RunResult r = get(path, {kNph, cgi::basic("clerk:secret")});
        EXPECT_EQ(r.status, 0) << path;
        EXPECT_EQ(r.out, kOk + kFrame) << path;
    }
    RunResult r = post("/Action99", "a=1", {kNph, cgi::basic("clerk:secret")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kOk + kFrame);
}

TEST_F(RoutingTest, GuardedPagesNeedTheAdminPrivilege)
{
    RunResult r =
        get("/Page4", {kNph, cgi::basic("clerk:secret"), "SCRIPT_NAME=/cgi-bin/zeladmin/"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kOk + securitypage("/cgi-bin/zeladmin"));

    r = post("/Action4", "uname=x", {kNph, cgi::basic("clerk:secret")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kOk + securitypage());

    // The administrator passes the guard.
    r = get("/Page4", {kNph, cgi::basic("admin:anything")});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(
        r.out.starts_with(kOk + pagehead("Vantrel Image Messaging Software - Select User")));
}

TEST_F(RoutingTest, OtherServersAuthenticateNobody)
{
    RunResult r = get("/Page4", {kOther, cgi::basic("admin:")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, securitypage());

    // Nobody signed in: the home page without the administrator's entries.
    r = get("/Page1", {kOther});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with(pagehead("Vantrel Image Messaging Software")));
    EXPECT_NE(r.out.find("/Page3\">Your Account</a>"), std::string::npos);

    // Without the raw-HTTP server /logoff is just an unknown path.
    r = get("/logoff", {kOther});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("ERROR WF090"), std::string::npos);
}

TEST_F(RoutingTest, ActionNeedsAPostedForm)
{
    RunResult r = get("/Action4");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              kResponseHead +
                  "<h2>ERROR WF090</h2><p>This script must be referenced with a METHOD of POST.\n"
                  "<p>Please contact the system administrator for this server (support@vantrel.com)"
                  " if you need more information on using this CGI program.\n"
                  "<p>(Called with REQUEST_METHOD = 'GET')\n" +
                  kWF010);

    r = post("/Action3", "a=1", {}, "text/plain");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("<h2>ERROR WF092</h2>"), std::string::npos);
    EXPECT_TRUE(r.out.ends_with("<p>(Called with CONTENT_TYPE = 'text/plain')\n" + kWF010));
}

TEST_F(RoutingTest, TestPathNamesTheEncoding)
{
    RunResult r = post("/test", "a=1&b=2");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kResponseHead +
                         "<h2>Test Response</h2><p>This CGI program was called correctly "
                         "with standardCGI encoding for forms.\n");

    r = post("/test", "", {}, "multipart/form-data; boundary=xyz");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kResponseHead +
                         "<h2>Test Response</h2><p>This CGI program was called correctly "
                         "with enhancedMIME encoding for forms.\n");
}

TEST_F(RoutingTest, PrintAndDebugListTheForm)
{
    // The listing starts at the list head, which urlencoded forms leave empty.
    const std::string listing = "<h2>Listing of Form Data (3)</h2><pre>"
                                " 1. lp([0 - 0] [NULL!] [NULL!] [NULL!] [NULL!])\n"
                                " 2. lp([0 - 0] [NULL!] [a] [NULL!] [1])\n"
                                " 3. lp([0 - 0] [NULL!] [b c] [NULL!] [=&amp;])\n"
                                " 4. lp([0 - 0] [NULL!] [d] [NULL!] [NULL!])\n"
                                "</pre>\n";
    // CONTENT_LENGTH ends the body after the third field.
    RunOptions options;
    options.env = {"REQUEST_METHOD=POST", "PATH_INFO=/print",
                   "CONTENT_TYPE=application/x-www-form-urlencoded", "CONTENT_LENGTH=17"};
    options.input = "a=1&b+c=%3d%26&d&ignored";
    RunResult r = box.run(program_path("zeladmin"), options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kResponseHead + listing);

    options.env[1] = "PATH_INFO=/debug";
    r = box.run(program_path("zeladmin"), options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kResponseHead + listing);
}

TEST_F(RoutingTest, MissingOrBadLengthIsAnEmptyBody)
{
    for (const char* length : {"", "CONTENT_LENGTH=-5", "CONTENT_LENGTH=many"}) {
        RunOptions options;
        options.env = {"REQUEST_METHOD=POST", "PATH_INFO=/print",
                       "CONTENT_TYPE=application/x-www-form-urlencoded"};
        if (*length)
            options.env.push_back(length);
        options.input = "a=1";
        RunResult r = box.run(program_path("zeladmin"), options);
        EXPECT_EQ(r.status, 0) << length;
        EXPECT_EQ(r.out, kResponseHead +
                             "<h2>Listing of Form Data (0)</h2><pre>"
                             " 1. lp([0 - 0] [NULL!] [NULL!] [NULL!] [NULL!])\n</pre>\n")
            << length;
    }
}

TEST_F(RoutingTest, EchoDumpsEnvironmentAndBody)
{
    RunResult r = post("/echo", "a=1&b=2", {kNph, cgi::basic("admin:"), "X_ODD=t\tab\xe9"});
    EXPECT_EQ(r.status, 0);
    const std::string start = kOk + "<html><body><pre>BURP!ZZ\r\n" + kResponseHead +
                              "<p><strong>Environment is:</strong><p><pre>\n";
    ASSERT_TRUE(r.out.starts_with(start)) << r.out;
    EXPECT_NE(r.out.find("\n(PATH_INFO=/echo)\n\n"), std::string::npos);
    EXPECT_NE(r.out.find("\n(X_ODD=t<09>ab<ffffffe9>)\n\n"), std::string::npos);
    EXPECT_TRUE(r.out.ends_with(")\n\n</pre><br><hr><p>\nContent length is 7.\n"
                                "<p><strong>Stdin is:</strong><p><pre>\n"
                                "a=1&amp;\nb=2</pre>\n"))
        << r.out;
    EXPECT_FALSE(box.exists("tmp/cgi.copy"));
}

TEST_F(RoutingTest, CopyKeepsTheBody)
{
    RunResult r = post("/copy", "a=1&b=%20", {}, "application/x-www-form-urlencoded");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with(kResponseHead + "<p><strong>Environment is:</strong>"));
    EXPECT_TRUE(r.out.ends_with("Content length is 9.\n<p><strong>Stdin is:</strong><p><pre>\n"
                                "a=1&amp;\nb=%20</pre>\n"));
    EXPECT_EQ(box.read("tmp/cgi.copy"), "a=1&b=%20");
}

// webadmin-auth = basic: the program's own login under any web server, its
// status given to the server as CGI header lines.
TEST_F(RoutingTest, BasicLoginUnderAnyServer)
{
    configure("webadmin-auth = basic\n");
    const std::string challenge =
        "Status: 401 Permission\r\nWWW-Authenticate: Basic realm=\"ZELAdmin\"\r\n";
    RunResult r = get("/Page4", {kOther});
    EXPECT_EQ(r.out,
              challenge + kResponseHead +
                  "<h1>Access Error</h1><p>You must enter a valid user name/password in order to "
                  "access this page.\n" +
                  kHint);
    r = get("/Page4", {kOther, cgi::basic("clerk:wrong")});
    EXPECT_TRUE(r.out.starts_with(challenge + kResponseHead +
                                  "<h1>Access Error</h1><p>Your user name (clerk)"))
        << r.out;
    // A refusal is told as one where the program signs users in.
    r = get("/Page4", {kOther, cgi::basic("clerk:secret")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Status: 403 Forbidden\r\n" + securitypage());
    r = get("/Page4", {kOther, cgi::basic("admin:")});
    EXPECT_TRUE(r.out.starts_with("Status: 200 OK\r\n" + kResponseHead.substr(0, 100))) << r.out;
    EXPECT_NE(r.out.find("clerk"), std::string::npos);
    // The raw-HTTP server still gets raw status lines.
    EXPECT_TRUE(get("/Page4", {kNph, cgi::basic("admin:")}).out.starts_with("HTTP/1.0 200 OK\r\n"));
    // Public paths need no login.
    EXPECT_TRUE(get("/page2", {kOther}).out.starts_with("Status: 200 OK\r\n"));
    EXPECT_TRUE(get("/page-1", {kOther})
                    .out.starts_with("Status: 200 OK\r\n" + kFrame +
                                     "Content-type: image/gif\r\n\r\nGIF87a"));
    // What answers nothing still ends its CGI header block.
    for (const char* path : {"/Page999", "/page5", "/page-5"})
        EXPECT_EQ(get(path, {kOther, cgi::basic("admin:")}).out,
                  "Status: 200 OK\r\n" + kFrame + "Content-type: text/html\r\n\r\n")
            << path;
    EXPECT_EQ(get("/Page999", {kNph, cgi::basic("admin:")}).out, "HTTP/1.0 200 OK\r\n" + kFrame);
}

// webadmin-auth = server: the account the web server names, no challenge.
TEST_F(RoutingTest, ServerLoginTakesRemoteUser)
{
    configure("webadmin-auth = server\n");
    RunResult r = get("/Page4", {kOther, "REMOTE_USER=clerk"});
    EXPECT_EQ(r.out, "Status: 403 Forbidden\r\n" + securitypage());
    r = get("/Page4", {kOther, "REMOTE_USER=admin", cgi::basic("clerk:wrong")});
    EXPECT_TRUE(r.out.starts_with("Status: 200 OK\r\n" + kResponseHead.substr(0, 100))) << r.out;
    EXPECT_NE(r.out.find("clerk"), std::string::npos);
    r = get("/Page4", {kOther, "REMOTE_USER=<nobody>"});
    EXPECT_EQ(r.out,
              "Status: 403 Forbidden\r\n" + kResponseHead +
                  "<h1>Access Error</h1><p>Your user name (&lt;nobody&gt;) is not an account of "
                  "this server. (-6)\n");
    r = get("/Page1", {kOther});
    EXPECT_TRUE(r.out.starts_with("Status: 403 Forbidden\r\n")) << r.out;
    EXPECT_EQ(get("/logoff", {kOther}).out,
              "Status: 200 OK\r\n" + kResponseHead +
                  "<h1>Logoff</h1><p>Your login is kept by the web server: "
                  "close the browser to log off.\n");
    EXPECT_EQ(r.out.find("WWW-Authenticate"), std::string::npos);
}

TEST_F(RoutingTest, UnknownLoginModeIsFatal)
{
    configure("webadmin-auth = maybe\n");
    RunResult r = get("/Page1", {kOther, "REMOTE_USER=admin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

// ---- Requests from other sites --------------------------------------------

namespace {

const std::string kHost = "HTTP_HOST=127.0.0.1:8080";
const std::string kAddMallory = "button=Add&uname=mallory&priv-ad=on&did=*&dp=evil";

// The page, with what Origin or Referer was compared with when one decided.
std::string refusedpage(const std::string& header, const std::string& value,
                        const std::string& compared = "")
{
    std::string advice;
    if (!compared.empty())
        advice = "<p>" + compared +
                 ". If the address in your browser's address bar is the administration's "
                 "own, add its scheme, host and port to webadmin-origins in "
                 "/etc/opt/vantrel/vantrel.conf, as "
                 "in \"webadmin-origins = http://fax.example.com:8080\".\n";
    return framed("Request Refused", "HXrefused",
                  "<h1>Request Refused</h1><p>This request came from another site (" + header +
                      ": " + value + ") and was refused.\n" + advice);
}

} // namespace

TEST_F(RoutingTest, ChangesFromOtherSitesAreRefused)
{
    const std::string users = box.read(Sandbox::kUsers);
    const std::string multipart =
        "--b\r\nContent-Disposition: form-data; name=\"button\"\r\n\r\nAdd\r\n"
        "--b\r\nContent-Disposition: form-data; name=\"uname\"\r\n\r\nmallory\r\n"
        "--b--\r\n";
    const std::string elsewhere[] = {
        "HTTP_SEC_FETCH_SITE=cross-site", "HTTP_SEC_FETCH_SITE=same-site", "HTTP_ORIGIN=null",
        "HTTP_ORIGIN=http://127.0.0.2:8080", "HTTP_REFERER=http://127.0.0.2:8080/x"};
    for (const std::string& from : elsewhere) {
        RunResult r = post("/Action4/", kAddMallory, {kNph, cgi::basic("admin:"), kHost, from});
        EXPECT_EQ(r.status, 1) << from;
        EXPECT_TRUE(
            r.out.starts_with("HTTP/1.0 403 Forbidden\r\n" +
                              pagehead("Vantrel Image Messaging Software - Request Refused")))
            << from;
        r = post("/Action4", multipart, {kNph, cgi::basic("admin:"), kHost, from},
                 "multipart/form-data; boundary=b");
        EXPECT_TRUE(r.out.starts_with("HTTP/1.0 403 Forbidden\r\n")) << from;
        EXPECT_EQ(box.read(Sandbox::kUsers), users) << from;
    }
    RunResult r = post("/Action4", kAddMallory,
                       {kNph, cgi::basic("admin:"), kHost, "HTTP_ORIGIN=http://<x>\""});
    EXPECT_EQ(r.out,
              "HTTP/1.0 403 Forbidden\r\n" +
                  refusedpage("Origin", "http://&lt;x&gt;&quot;",
                              "It was compared with the address the request was made to (Host: "
                              "127.0.0.1:8080)"));
    EXPECT_TRUE(
        box.read(Sandbox::kLog)
            .ends_with(
                ",3]: Request for /Action4 from another site refused (Origin: http://<x>\")\n"));
    // Without a login mode, under a server that takes CGI status lines;
    // the browser's own verdict is nothing webadmin-origins could change.
    r = post("/Action4", kAddMallory, {kOther, "HTTP_SEC_FETCH_SITE=cross-site"});
    EXPECT_EQ(r.out, "Status: 403 Forbidden\r\n" + refusedpage("Sec-Fetch-Site", "cross-site"))
        << r.out;
    EXPECT_EQ(box.read(Sandbox::kUsers), users);

    // This site's own forms, a listed origin and scripts without any of the
    // headers go through.
    configure("webadmin-origins = http://a.example https://fax.example.com:8443\n");
    r = post("/Action4", kAddMallory,
             {kNph, cgi::basic("admin:"), "HTTP_REFERER=http://b.example/"});
    EXPECT_EQ(
        r.out,
        "HTTP/1.0 403 Forbidden\r\n" +
            refusedpage("Referer", "http://b.example/",
                        "The web server passed on no address of the request to compare it with; "
                        "it was compared with webadmin-origins only"));
    const std::string ours[] = {cgi::kSameSite, "HTTP_ORIGIN=http://127.0.0.1:8080",
                                "HTTP_REFERER=http://127.0.0.1:8080/cgi-bin/zeladmin/Page4",
                                "HTTP_ORIGIN=https://fax.example.com:8443", "X_NONE=1"};
    for (std::size_t i = 0; i < std::size(ours); ++i) {
        std::string name = "user" + std::to_string(i);
        post("/Action4", "button=Add&uname=" + name, {kNph, cgi::basic("admin:"), kHost, ours[i]});
        EXPECT_NE(box.read(Sandbox::kUsers).find("[" + name + "]"), std::string::npos) << ours[i];
    }
}

// A page that acts when opened runs only when the request shows it came
// from this site; a bare link is asked about first.
TEST_F(RoutingTest, ActingPagesAskWithoutEvidence)
{
    const std::string mark = box.path("ran");
    box.write("opt/vantrel/lib/tabctl", "#!/bin/sh\necho \"$@\" >> " + mark + "\n", 0755);
    const std::vector<std::string> admin = {kNph, cgi::basic("admin:"), kHost, "SCRIPT_NAME=/z"};
    auto with = [&](const std::string& extra) {
        std::vector<std::string> env = admin;
        env.push_back(extra);
        return env;
    };
    RunResult r = get("/Page912", with("QUERY_STRING=a=<1>"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              kOk + pagehead("Vantrel Image Messaging Software - Please Confirm") +
                  banner("HXconfirm", "/z") +
                  "<h1>Please Confirm</h1><p>This link would stop the dialq scheduler.\n"
                  "<p><a href=\"/z/Page912?a=&lt;1&gt;\">Yes, stop the dialq scheduler</a>\n" +
                  footer("/z"));
    EXPECT_FALSE(box.exists("ran"));

    r = get("/Page912", with("HTTP_REFERER=http://127.0.0.2:8080/"));
    EXPECT_TRUE(r.out.starts_with("HTTP/1.0 403 Forbidden\r\n")) << r.out;
    EXPECT_FALSE(box.exists("ran"));

    // The confirmation's own link, followed from this site.
    r = get("/Page912", with("HTTP_REFERER=http://127.0.0.1:8080/z/Page912"));
    EXPECT_NE(r.out.find("Daemon Status"), std::string::npos);
    EXPECT_EQ(box.read("ran"), "-X stop-dialq\n");
    // The privilege is checked before anything is asked.
    r = get("/Page912", {kNph, cgi::basic("clerk:secret")});
    EXPECT_EQ(r.out, kOk + securitypage());
}

// ---- What a request may cost --------------------------------------------------

TEST_F(RoutingTest, BodiesAndFormsAreBounded)
{
    configure("webadmin-max-body = 16\n");
    RunResult r = post("/print", "a=1&b=2&c=3&d=45");
    EXPECT_EQ(r.status, 0);
    r = post("/Page1", "a=1&b=2&c=3&d=456", {kOther});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "Status: 413 Request Entity Too Large\r\n" +
                  pagehead("Vantrel Image Messaging Software - Request Too Large") +
                  banner("HXtoolarge") +
                  "<h1>Request Too Large</h1><p>The request's body of 17 bytes is larger than the "
                  "16 bytes this server accepts.\n" +
                  footer());
    configure("webadmin-max-body = 1k\n");
    EXPECT_EQ(post("/print", std::string(1024, 'a')).status, 0);
    EXPECT_EQ(post("/print", std::string(1025, 'a')).status, 1);
    configure("webadmin-max-body = lots\n");
    r = post("/print", "a=1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // An answer that a fatal error cut short still says not to keep it.
    r = post("/page2", "a=1", {kNph});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kOk + kFrame);

    box.write(Sandbox::kConfig, box.default_config());
    // A body that no page reads: the program answers without it, and the
    // harness that could not hand it over carries on.
    EXPECT_EQ(post("/page2", std::string(4 << 20, 'a')).status, 0);
    std::string fields(FORM_FIELDS_MAX, '&');
    EXPECT_EQ(post("/test", fields).status, 0);
    r = post("/test", fields + "&");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.starts_with(kResponseHead +
                                  "<h2>ERROR WF093</h2><p>This form has more than 5000 fields.\n"));
    EXPECT_TRUE(r.out.ends_with(kWF010));
    std::string parts;
    for (int i = 0; i <= FORM_FIELDS_MAX + 1; ++i)
        parts += "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\nx\r\n";
    r = post("/test", parts + "--b--\r\n", {}, "multipart/form-data; boundary=b");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("<h2>ERROR WF093</h2>"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp")));
}

// Wherever the program signs requests in (a login mode, or by itself under
// the raw-HTTP server) the diagnostic paths, which show the server's
// environment and keep uploads, are the administrator's.
TEST_F(RoutingTest, DiagnosticPathsNeedTheAdminWhereTheProgramSignsIn)
{
    const std::string upload =
        "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\nx\r\n--b--\r\n";
    const std::string multipart = "multipart/form-data; boundary=b";
    const struct {
        const char* config;
        std::string server, status;
    } modes[] = {
        {"webadmin-auth = basic\n", kOther, "Status: "},
        {"", kNph, "HTTP/1.0 "},
    };
    for (const auto& mode : modes) {
        configure(mode.config);
        for (const char* path : {"/echo", "/copy", "/print", "/test", "/debug"}) {
            RunResult r = post(path, upload, {mode.server}, multipart);
            EXPECT_TRUE(r.out.starts_with(mode.status + "401 Permission\r\n")) << path;
            r = post(path, upload, {mode.server, cgi::basic("clerk:secret")}, multipart);
            EXPECT_EQ(r.out, mode.status + "403 Forbidden\r\n" + securitypage()) << path;
            EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp"))) << path;
            r = post(path, upload, {mode.server, cgi::basic("admin:")}, multipart);
            EXPECT_EQ(r.status, 0) << path;
            box.remove("tmp/cgi.copy");
        }
        // The administrator's /debug kept its upload.
        EXPECT_EQ(entries(box.path("tmp")).size(), 1u) << mode.server;
        box.remove("tmp/" + entries(box.path("tmp")).at(0));
    }
    // Where nobody signs in, anyone may post to /debug, so it keeps nothing.
    box.write(Sandbox::kConfig, box.default_config());
    RunResult r = post("/debug", upload, {kOther}, multipart);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("<h2>Listing of Form Data (0)</h2><pre> 1. lp([1 - 0]"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp")));
}

// A server that puts the whole path into SCRIPT_NAME, PATH_INFO repeated at
// its end, gets the same links, form actions and images as one that does not.
TEST_F(RoutingTest, ScriptNameHoldingThePathInfoLinksTheProgram)
{
    for (const std::string path : {"/Page1", "/Page4", "/Page3"}) {
        RunResult plain = get(path, {kNph, cgi::basic("admin:"), "SCRIPT_NAME=/cgi-bin/zeladmin"});
        RunResult whole =
            get(path, {kNph, cgi::basic("admin:"), "SCRIPT_NAME=/cgi-bin/zeladmin" + path});
        EXPECT_EQ(whole.status, 0) << path;
        EXPECT_NE(plain.out.find("src=\"/cgi-bin/zeladmin/page-"), std::string::npos) << path;
        EXPECT_EQ(whole.out, plain.out) << path;
    }
}

// ---- Every route, asked by another site -------------------------------------

namespace {

namespace fs = std::filesystem;

using Listing = std::map<std::string, std::string>;

// Routes that may change something although another site asks for them,
// each with the reason it does no harm.  None so far.
const std::map<std::string, std::string> kHarmless = {};

// An installation where every page would do its work when asked by the
// administrator: the program signs in under any server, a font server is
// named, the stand-in tools are in place and log their calls, a fax line
// and a send queue exist.
void prime(const Sandbox& box)
{
    box.configure("webadmin-auth = basic\nfont-server = fonts.example\n");
    box.link_program(tool_path("tabctl"), "opt/vantrel/lib/tabctl");
    box.link_program(tool_path("quectl"), "opt/vantrel/lib/quectl");
    for (const char* tool : {"fstxtimg", "mdmchk"})
        EXPECT_EQ(symlink(source_path(std::string("tools/") + tool).c_str(),
                          box.path(std::string("opt/vantrel/lib/") + tool).c_str()),
                  0);
    box.write("sbin/.keep", "");
    EXPECT_EQ(symlink(source_path("tools/telinit").c_str(), box.path("sbin/telinit").c_str()), 0);
    box.write("etc/inittab", "id:2:initdefault:\n");
    box.write("opt/vantrel/etc/dev/fax-line-1", "device = ttyS1\n");
    RunOptions fill;
    fill.args = {"-g", "3"};
    EXPECT_EQ(box.run(tool_path("quectl"), fill).status, 0);
}

// Every entry below the sandbox's root, links not followed: its mode,
// size, modification time and bytes (a link's target).
Listing listing(const Sandbox& box)
{
    Listing files;
    for (const auto& entry : fs::recursive_directory_iterator(box.root())) {
        std::string relative = fs::relative(entry.path(), box.root()).string();
        struct stat st {};
        EXPECT_EQ(lstat(entry.path().c_str(), &st), 0) << relative;
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                           std::to_string(st.st_mtim.tv_sec) + "." +
                           std::to_string(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode))
            what += " [" + box.read(relative) + "]";
        else if (S_ISLNK(st.st_mode))
            what += " -> " + fs::read_symlink(entry.path()).string();
        files[relative] = what;
    }
    return files;
}

// What a request did in a freshly primed sandbox: each entry it added,
// removed or changed ("" for none), the tool calls among them.  The system
// log may gain the line that tells of the request's refusal, nothing else.
struct Outcome {
    RunResult result;
    std::string changed;
};

Outcome ask(const std::string& path, bool post, const std::string& site)
{
    Sandbox box;
    prime(box);
    Listing before = listing(box);
    std::string log = box.read(Sandbox::kLog);
    std::vector<std::string> env = {"SERVER_SOFTWARE=lighttpd/1.4.69", cgi::basic("admin:"),
                                    "HTTP_HOST=127.0.0.1:8080", "HTTP_SEC_FETCH_SITE=" + site,
                                    "STANDIN_LOG=" + box.path("calls.log")};
    // Every field an action could act on, and an upload.
    std::string body;
    for (auto [name, value] : cgi::Form{{"button", "Add"},
                                        {"uname", "mallory"},
                                        {"priv-ad", "on"},
                                        {"user", "admin"},
                                        {"lname", "fax-line-1"},
                                        {"name", "fax-line-9"},
                                        {"company-name", "Mallory"}})
        body +=
            "--b\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
    body += "--b\r\nContent-Disposition: form-data; name=\"doc\"; "
            "filename=\"doc.txt\"\r\n\r\nDATA\r\n--b--\r\n";
    Outcome o;
    o.result =
        cgi::zeladmin(box, post ? cgi::post(path, body, env, "multipart/form-data; boundary=b")
                                : cgi::get(path, env));

    std::string refusal = "Request for " + path + " from another site refused";
    std::string logged = box.read(Sandbox::kLog);
    if (logged.starts_with(log) && logged.find('\n', log.size()) == logged.size() - 1 &&
        logged.find(refusal, log.size()) != std::string::npos)
        logged = log;
    if (logged != log)
        o.changed += Sandbox::kLog + std::string(" gained [") + logged.substr(log.size()) + "]\n";
    Listing after = listing(box);
    before.erase(Sandbox::kLog);
    after.erase(Sandbox::kLog);
    for (const auto& [name, what] : after)
        if (!before.contains(name))
            o.changed += name + " added: " + what + "\n";
        else if (before[name] != what)
            o.changed += name + " changed: " + what + "\n";
    for (const auto& [name, what] : before)
        if (!after.contains(name))
            o.changed += name + " removed\n";
    return o;
}

// The path a route is asked by: a /Page with a request slot, for the
// queue's pages.
std::string askedpath(const std::string& route)
{
    return route.starts_with("/Page") ? route + "/s=1" : route;
}

} // namespace

// A route added later that runs a tool or changes a file when another
// site's page links or posts to it, without being refused, fails here.
TEST(RouteWalkTest, NothingRunsOrChangesForAnotherSite)
{
    std::vector<std::string> routes = routepaths();
    ASSERT_GT(routes.size(), 40u);
    for (const std::string& route : routes) {
        if (kHarmless.contains(route))
            continue;
        for (bool post : {false, true}) {
            std::string path = askedpath(route);
            Outcome o = ask(path, post, "cross-site");
            EXPECT_EQ(o.changed, "") << (post ? "POST " : "GET ") << path;
            // Every answer stays out of caches.
            EXPECT_NE(o.result.out.find(kFrame), std::string::npos) << path << "\n" << o.result.out;
        }
    }
    // The walk would see the work: asked from this site, these act.
    for (const auto& [path, post] :
         std::vector<std::pair<std::string, bool>>{{"/Page44", false},
                                                   {"/Page30", false},
                                                   {"/Page121/s=1", false},
                                                   {"/Action4", true},
                                                   {"/debug", true}}) {
        Outcome o = ask(path, post, "same-origin");
        EXPECT_NE(o.changed, "") << path;
        EXPECT_NE(o.result.out.find(kFrame), std::string::npos) << path;
    }
}
