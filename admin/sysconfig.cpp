#include "admin/sysconfig.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "admin/request.h"
#include "lib/btree.h"
#include "lib/config.h"
#include "lib/configfile.h"
#include "lib/fd.h"
#include "lib/if_blank.h"
#include "www/wwwinput.h"
#include "www/wwwputhtml.h"

namespace {

enum class Input { hidden, text, radio };

struct ConfigField {
    const char* name;    // the form field
    const char* oldname; // the hidden field with the value the form showed
    const char* key;
    const char* label; // the row's label; null for a hidden old value only
    Input input;
    int size;            // of the text input
    const char* heading; // a header row that opens before this row
    bool updatable;      // false: merged with the file, the form only
                         // carries the installation's directories along
};

constexpr ConfigField kFields[] = {
    {"company_name", "ocompany_name", "company-name", "Company Name", Input::text, 60,
     "Company Identification Parameters", true},
    {"addr1", "oaddr1", "company-addr1", "Address Line 1", Input::text, 60, nullptr, true},
    {"addr2", "oaddr2", "company-addr2", "Address Line 2", Input::text, 60, nullptr, true},
    {"addr3", "oaddr3", "company-addr3", "Address Line 3", Input::text, 60, nullptr, true},
    {"addr4", "oaddr4", "company-addr4", "Address Line 4", Input::text, 60, nullptr, true},
    {"phone", "ophone", "company-phone", "Company Phone", Input::text, 20, nullptr, true},
    {"fax", "ofax", "company-fax", "Company Fax", Input::text, 20, nullptr, true},
    {"zel_config_directory", "ozel_config_directory", "zel-config-directory", nullptr,
     Input::hidden, 0, nullptr, false},
    {"zel_directory", "ozel_directory", "zel-directory", nullptr, Input::hidden, 0, nullptr, false},
    {"zel_ip_addr", "ozel_ip_addr", "zel-ip-addr", nullptr, Input::hidden, 0, nullptr, true},
    {"zel_hostname", "ozel_hostname", "zel-hostname", nullptr, Input::hidden, 0, nullptr, true},
    {"spool_directory", "ospool_directory", "spool-directory", nullptr, Input::hidden, 0, nullptr,
     true},
    {"minimum_free_blocks", "ominimum_free_blocks", "minimum-free-blocks", "Minimum Free Blocks",
     Input::text, 6, "Operational Parameters", true},
    {"minimum_idle_lines", "ominimum_idle_lines", "minimum-idle-lines", "Minimum Idle Fax Lines",
     Input::text, 4, nullptr, true},
    {"retry_limit", "oretry_limit", "default-retry-limit", "Maximum Number of Retries", Input::text,
     4, nullptr, true},
    {"retry_delay", "oretry_delay", "default-retry-delay", "Delay Between Retries", Input::text, 4,
     nullptr, true},
    {"resolution", "oresolution", "resolution", "Fax Resolution", Input::radio, 0, nullptr, true},
    {"banner1", "obanner1", "zel-banner1", "Top-of-Page Banner", Input::text, 60, nullptr, true},
    {"font_server", "ofont_server", "font-server", nullptr, Input::hidden, 0, nullptr, true},
};
constexpr std::size_t kFieldCount = std::size(kFields);

struct Choice {
    const char* value;
    const char* label;
};

// The resolution's choices; the last is checked unless another matches.
constexpr Choice kResolutions[] = {
    {"fine", "Fine (204x198 dpi)&nbsp;&nbsp;&nbsp;"},
    {"standard", "Standard (204x96 dpi)"},
};

struct FieldValues {
    std::optional<std::string> value;
    std::optional<std::string> old;
};
using ConfigForm = std::array<FieldValues, kFieldCount>;

// adderror keeps the pointer until the errors are printed.
std::deque<std::string> errortexts;

void adderrortext(std::string text)
{
    errortexts.push_back(std::move(text));
    adderror(errortexts.back().c_str());
}

const char* text_of(const std::optional<std::string>& value) { return value ? value->c_str() : ""; }

std::string escaped(const std::optional<std::string>& value) { return htmlescape(text_of(value)); }

void putheading(const char* heading)
{
    putf("<tr bgcolor=\"#4040ff\">\n<td colspan=2><font color=\"#ffffff\"><b>%s</b></font>"
         "</td></tr>\n",
         heading);
}

void putradio(const ConfigField& field, const std::optional<std::string>& value)
{
    std::size_t checked = std::size(kResolutions) - 1;
    for (std::size_t i = 0; i < std::size(kResolutions); ++i)
        if (value && *value == kResolutions[i].value)
            checked = i;
    putf("<td>");
    for (std::size_t i = 0; i < std::size(kResolutions); ++i)
        putf("<input type=radio name=%s value=\"%s\"%s>%s", field.name, kResolutions[i].value,
             i == checked ? " checked" : "", kResolutions[i].label);
    putf("</td></tr>\n");
}

void putrow(const ConfigField& field, const std::optional<std::string>& value)
{
    if (field.heading != nullptr)
        putheading(field.heading);
    putf("<tr bgcolor=\"#eeeecc\">\n<td>%s</td>\n", field.label);
    if (field.input == Input::radio)
        putradio(field, value);
    else
        putf("<td><input type=text name=%s size=%d value = \"%s\"></td></tr>\n", field.name,
             field.size, escaped(value).c_str());
}

void putform(const ConfigForm& form)
{
    puthtml("<form action = \"$SCRIPT_NAME/Action6/\" method = post>");
    for (std::size_t i = 0; i < kFieldCount; ++i)
        putf("<input type=hidden name=%s size=60 value=\"%s\">\n", kFields[i].oldname,
             escaped(form[i].old).c_str());
    putf("<p><table border=2 cellpadding=2 cellspacing=2 align=center>");
    for (std::size_t i = 0; i < kFieldCount; ++i)
        if (kFields[i].input != Input::hidden)
            putrow(kFields[i], form[i].value);
    putf("</table>\n<p>\n");
    putf("<input type=submit name=button value=\"Update\">\n");
    putf("<input type=submit name=button value=\"Cancel\">\n");
    putf("</form>");
}

ConfigForm formfromtree()
{
    ConfigForm form;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (const char* value = keytree_lookup(config_tree(), kFields[i].key))
            form[i].value = form[i].old = value;
    }
    return form;
}

ConfigForm formfromposted()
{
    ConfigForm form;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (const char* value = formvalue(kFields[i].name))
            form[i].value = value;
        if (const char* old = formvalue(kFields[i].oldname))
            form[i].old = old;
    }
    return form;
}

// The page with the file's values, or with `posted` and the errors that
// refused it.
void sysconfigpage(const ConfigForm* posted)
{
    putpagehead("Vantrel Image Messaging Software - System Configuration");
    putbanner("HXsysconfig");
    ConfigForm form;
    if (posted != nullptr) {
        if (errorcount() != 0) {
            puterrors();
            clearerrors();
        }
        form = *posted;
    } else {
        if (!config_reread({CONFIG_OLD, CONFIG_MAIN}))
            puthtml("<p>WARNING! Cannot open /etc/vantrel.conf");
        form = formfromtree();
    }
    identification_warning();
    putform(form);
    putfooter();
}

// Whether the file keeps `value` of `key`: what keytree_write cannot fit
// in one line the reader would take back cut.
bool storable(const char* key, const std::string& value)
{
    KeyTree probe;
    if (keytree_set(probe, key, value.c_str()) == nullptr)
        return false;
    char* text = nullptr;
    std::size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (out == nullptr)
        return false;
    int written = keytree_write(probe, out);
    std::fclose(out);
    bool same = false;
    if (written == 0) {
        if (FILE* in = fmemopen(text, size, "r")) {
            KeyTree back;
            const char* read = keytree_read(back, in) == 0 ? keytree_lookup(back, key) : nullptr;
            same = back.size == 1 && read != nullptr && value == read;
            std::fclose(in);
        }
    }
    std::free(text);
    return same;
}

// The fields whose posted values go into the tree.  Without the file to
// compare with, every posted value is taken as it stands.
std::vector<std::size_t> changedfields(const ConfigForm& form, bool fileread)
{
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        const FieldValues& f = form[i];
        if (!f.value)
            continue;
        // An unchanged field is left alone, so that an edit made in the
        // file since the form was shown survives.
        if (fileread && (!kFields[i].updatable || !f.old || *f.value == *f.old))
            continue;
        changed.push_back(i);
    }
    return changed;
}

bool allstorable(const ConfigForm& form, const std::vector<std::size_t>& changed)
{
    bool ok = true;
    for (std::size_t i : changed) {
        if (storable(kFields[i].key, *form[i].value))
            continue;
        const char* name = kFields[i].label ? kFields[i].label : kFields[i].key;
        adderrortext(std::string("The value given for ") + name +
                     " cannot be stored in the configuration file");
        ok = false;
    }
    return ok;
}

} // namespace

void HXsysconfig() { sysconfigpage(nullptr); }

void HXconfigupdate()
{
    const char* button = formvalue("button");
    if (button == nullptr || std::strcmp(button, "Update") != 0) {
        gohome();
        return;
    }
    ConfigForm form = formfromposted();
    if (errorcount() != 0) {
        sysconfigpage(&form);
        return;
    }
    LockedConfig locked = lockconfig();
    Fd lock(locked.fd);
    if (locked.error != 0) {
        adderrortext(std::string("The configuration file could not be updated (") +
                     std::strerror(locked.error) + ")");
        sysconfigpage(&form);
        return;
    }
    bool fileread = lock.get() >= 0;
    if (fileread)
        keytree_read_locked(lock.get(), config_tree());
    else
        puthtml("WARNING! Cannot open /etc/opt/vantrel/vantrel.conf");
    std::vector<std::size_t> changed = changedfields(form, fileread);
    if (!allstorable(form, changed)) {
        sysconfigpage(&form);
        return;
    }
    for (std::size_t i : changed)
        keytree_set(config_tree(), kFields[i].key, form[i].value->c_str());
    if (int error = writeconfig()) {
        adderrortext(std::string("The configuration file could not be updated (") +
                     std::strerror(error) + ")");
        sysconfigpage(&form);
        return;
    }
    putpagehead("Vantrel Image Messaging Software - Configuration Update");
    putbanner("HXconfigupdate");
    puthtml("<p>The configuration file has been successfully updated.");
    identification_warning();
    putfooter();
}

void identification_warning()
{
    struct Required {
        const char* key;
        const char* item;
    };
    static constexpr Required required[] = {
        {"company-name", "<li> Company Name"},
        {"company-phone", "<li> Company Phone"},
        {"company-fax", "<li> Company Fax"},
    };
    bool any = false;
    for (const Required& r : required)
        any = any || if_blank(keytree_lookup(config_tree(), r.key));
    if (!any)
        return;
    putf("<p><table border=1 cellpadding=6 cellspacing=6 align=center><tr "
         "bgcolor=\"#ff0000\"><td align=center><b>WARNING!</b> (I101)</td></tr><tr><td> "
         "The following identification information is not defined. It may be illegal in "
         "your juridiction to send faxes without this information.<ul>");
    for (const Required& r : required)
        if (if_blank(keytree_lookup(config_tree(), r.key)))
            putf("%s", r.item);
    putf("</ul><p>Please set this information in the appropriate fields below.<p>"
         "</table><p>");
}
