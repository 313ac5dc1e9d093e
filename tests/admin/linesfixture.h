// The fixture of the fax line tests (the pages' and the line files'):
// a sandbox installation with the stand-in line tools, an inittab and the
// dev directory, zeladmin run in it as the administrator, and the list page
// as it reads after a change.
#pragma once

#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/cgi.h"
#include "tests/harness.h"
#include "tests/pagetext.h"

namespace linesfixture {

inline constexpr const char* kDev = "opt/vantrel/etc/dev/";
inline constexpr const char* kInittab = "etc/inittab";
inline constexpr const char* kToolLog = "tools.log";

inline const std::string kTitle = "Vantrel Image Messaging Software - ";
inline const std::string kBadName =
    "FAX LINE NAME CONTAINS INVALID CHARACTERS, PLEASE ENTER DIFFERENT NAME.";

// The list page's text after its optional message, for lines given in
// directory order.
inline std::string listbody(const std::vector<std::string>& names)
{
    std::string text = "<p>Please select the fax line you wish to update or delete, or press add "
                       "to add a new line to the system.\n"
                       "<form action=\"/Action8\" method=post>\n<select name=lname size=4>\n";
    for (const std::string& name : names)
        text += "<option value=\"" + name + "\">" + name + "\n";
    return text + "</select><br>\nNumber of fax lines defined: " + std::to_string(names.size()) +
           "\n<input type=submit name=button value=\"Add\">\n"
           "<input type=submit name=button value=\"Update\">\n"
           "<input type=submit name=button value=\"Delete\">\n"
           "<p><input type=submit name=button value=\"Test Modem\">\n"
           "<input type=submit name=button value=\"Reset Modem\">\n</form>\n";
}

inline std::string listpage(const std::string& message, const std::vector<std::string>& names)
{
    return cgi::kOk + pagetext::framed("Select Fax Line", "HXselectline",
                                       (message.empty() ? "" : "<p><b>" + message + "</b>\n") +
                                           listbody(names));
}

inline std::string donemessage(const std::string& name, const std::string& verb)
{
    return "Fax line <em>" + name + "</em> has been " + verb + ".<p>\n";
}

class LinesTest : public SandboxTest {
protected:
    LinesTest()
    {
        box.link_program(tool_path("tabctl"), "opt/vantrel/lib/tabctl");
        box.link_program(source_path("tools/mdmchk"), "opt/vantrel/lib/mdmchk");
        box.write(kInittab, "id:2:initdefault:\n");
        mkdir(box.path(kDev).c_str(), 0755);
    }

    RunResult run(const std::string& path, const std::string& body,
                  std::vector<std::string> env) const
    {
        env.insert(env.end(),
                   {cgi::kNph, cgi::basic("admin:x"), "STANDIN_LOG=" + box.path(kToolLog)});
        RunOptions options =
            body.empty() ? cgi::get(path, std::move(env)) : cgi::post(path, body, std::move(env));
        options.uid = runas;
        options.gid = static_cast<gid_t>(runas);
        return cgi::zeladmin(box, options);
    }
    RunResult get(const std::string& path) const { return run(path, "", {}); }
    RunResult post(const std::string& path, const std::string& body,
                   std::vector<std::string> env = {}) const
    {
        return run(path, body, std::move(env));
    }

    void line(const std::string& name, const std::string& text) const
    {
        box.write(kDev + name, text);
    }
    std::string toollog() const { return box.exists(kToolLog) ? box.read(kToolLog) : ""; }

    // A line's form as the browser posts it back.
    static std::string form(const std::string& button, const std::string& name,
                            const std::string& oname, const std::string& mode,
                            const std::string& extra = "")
    {
        return "oname=" + cgi::urlencode(oname) + "&name=" + cgi::urlencode(name) +
               "&device=%2Fdev%2Fnull&fax-line-mode=" + cgi::urlencode(mode) +
               "&speed=19200&fax-speed=19200&receive-only=No" + extra + "&button=" + button;
    }

    uid_t runas = static_cast<uid_t>(-1); // the programs' user, with the same group
};

} // namespace linesfixture
