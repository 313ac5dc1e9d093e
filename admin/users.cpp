#include "admin/users.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin/request.h"
#include "lib/config.h"
#include "lib/if_blank.h"
#include "lib/if_yes.h"
#include "lib/log.h"
#include "lib/paramfile.h"
#include "lib/string.h"
#include "lib/trim.h"
#include "lib/usersfile.h"
#include "www/base64.h"
#include "www/sha1.h"
#include "www/wwwauth.h"
#include "www/wwwinput.h"
#include "www/wwwputhtml.h"

namespace {

constexpr const char* SELECT_TITLE = "Vantrel Image Messaging Software - Select User";
constexpr const char* UPDATE_TITLE = "Vantrel Image Messaging Software - User Update";

// What a password box holds until the user types into it.
constexpr const char* UNTOUCHED = "**********";

constexpr const char* NO_PASSWORD_BOX =
    "<p><table border=1 cellpadding=6 cellspacing=6 align=center><tr bgcolor=\"#ff0000\">"
    "<td align=center><b>WARNING!</b> (I109)</td></tr><tr><td> There is no password on this "
    "account! </td></tr></table><p>";

constexpr const char* NOT_ALLOWED = "THIS CHANGE IS NOT ALLOWED FROM YOUR ACCOUNT PAGE.";

bool is(const char* text, const char* word) { return text != nullptr && strcmp(text, word) == 0; }

bool ticked(const char* box) { return box != nullptr && *box != '\0'; }

// ---- Switches ---------------------------------------------------------------

bool daemon_mode() { return is(get_config("zel-mode"), "daemon"); }
bool did_routing() { return if_yes(get_config("webadmin-did-routing"), 0); }
bool delivery_program() { return if_yes(get_config("webadmin-delivery-program"), 0); }
bool default_style() { return if_yes(get_config("webadmin-default-style"), 0); }
bool url_delivery() { return if_yes(get_config("webadmin-url-delivery"), 0); }

// ---- The form ---------------------------------------------------------------

enum class Input {
    none,
    text,
    password,
    iprange,
    mailformat,
    imageformat,
    urldelivery,
    privileges
};

// A field of the account forms: its input, the hidden input that carries
// the value the form was shown with, the key of the users file it holds,
// and its row.
struct Field {
    const char* name;
    const char* oldname; // null: none
    int key;             // 0: none
    const char* label;   // null: no row of its own
    Input input;
    int size;        // of a text or password input
    bool (*shown)(); // null: always
};

constexpr Field fields[] = {
    {"uname", "ouname", 0, "Account Name", Input::text, 20, nullptr},
    {"fname", "ofname", USER_FULL_NAME, "Full Name", Input::text, 50, nullptr},
    // The old-value input opwd carries nothing: a page is no place for the
    // stored digest, which would let whoever sees the page or a cached copy
    // test guesses offline; the update compares a typed password with the
    // stored one instead.
    {"pwd", "opwd", USER_PASSWORD, "Password", Input::password, 10, nullptr},
    {"pwd2", nullptr, 0, "Re-Type Password", Input::password, 10, nullptr},
    {"fea", "ofea", USER_FROM_EMAIL, "From E-mail Address", Input::text, 40, nullptr},
    // The range's row holds the upper end's input too.
    {"ipfrom", "oipfrom", USER_IP_RANGE_LOWER, "IP Address Range", Input::iprange, 15, daemon_mode},
    {"ipto", "oipto", USER_IP_RANGE_UPPER, nullptr, Input::text, 15, nullptr},
    {"did", "odid", USER_DID, "DID Number", Input::text, 10, did_routing},
    {"dea", "odea", USER_DELIVERY_EMAIL, "Delivery E-mail Address", Input::text, 40, nullptr},
    {"dp", "odp", USER_DELIVERY_PROGRAM, "Delivery Program", Input::text, 40, delivery_program},
    {"style", "ostyle", USER_DEFAULT_STYLE, "Default Style", Input::text, 40, default_style},
    {"df", "odf", USER_MAIL_FORMAT, "Delivery Format", Input::mailformat, 0, nullptr},
    {"iformat", "oiformat", USER_IMAGE_FORMAT, "Image Format", Input::imageformat, 0, nullptr},
    {"urldel", "ourldel", USER_URL_DELIVERY, "Delivery Type", Input::urldelivery, 0, url_delivery},
    // Carried along hidden as stored; the checkboxes priv-ad and priv-pm
    // show it.
    {"priv", nullptr, USER_PRIVILEGES, "Privileges", Input::privileges, 0, nullptr},
    {"priv-ad", "opriv-ad", 0, nullptr, Input::none, 0, nullptr},
    {"priv-pm", "opriv-pm", 0, nullptr, Input::none, 0, nullptr},
    // The button that opened the form rides along as obp.
    {"button", "obp", 0, nullptr, Input::none, 0, nullptr},
    // Marks the administrator's form.
    {"admin", nullptr, 0, nullptr, Input::none, 0, nullptr},
};
constexpr std::size_t FIELD_COUNT = std::size(fields);

const Field& field(const char* name);

// Where an input of the forms keeps its value: the field whose own input
// or whose old-value input it is.
struct InputRef {
    std::size_t field;
    bool old;
};

InputRef findinput(const char* name)
{
    for (std::size_t i = 0; i < FIELD_COUNT; ++i) {
        if (strcmp(fields[i].name, name) == 0)
            return {i, false};
        if (fields[i].oldname && strcmp(fields[i].oldname, name) == 0)
            return {i, true};
    }
    abort(); // only the table's own names are looked up
}

// One shown form's values, parallel to fields; an unset one shows as the
// empty text.
struct Account {
    std::array<std::string, FIELD_COUNT> value;
    std::array<std::string, FIELD_COUNT> old;
    bool nopassword = false;

    // By the name of an input, a field's own or its old-value input.
    const std::string& operator[](const char* name) const
    {
        InputRef in = findinput(name);
        return in.old ? old[in.field] : value[in.field];
    }
    void set(const char* name, const char* text)
    {
        InputRef in = findinput(name);
        if (text)
            (in.old ? old : value)[in.field] = text;
    }
};

// The form as posted, for showing it again after a refused update.
Account posted()
{
    Account account;
    for (const Field& field : fields) {
        account.set(field.name, formvalue(field.name));
        if (field.oldname && field.key != USER_PASSWORD)
            account.set(field.oldname, formvalue(field.oldname));
    }
    return account;
}

Account stored(const ParamSection* section, const char* button)
{
    Account account;
    for (const Field& field : fields) {
        if (field.key == 0)
            continue;
        const char* value = paramfile_get(section, field.key);
        account.set(field.name, value);
        if (field.oldname && field.key != USER_PASSWORD)
            account.set(field.oldname, value);
    }
    account.set("uname", section->name);
    account.set("ouname", section->name);
    const char* priv = paramfile_get(section, USER_PRIVILEGES);
    account.set("opriv-ad", priv && strstr(priv, "admin") ? "admin" : "");
    account.set("opriv-pm", priv && strstr(priv, "postmaster") ? "postmaster" : "");
    account.set("obp", button);
    account.nopassword = if_blank(paramfile_get(section, USER_PASSWORD));
    return account;
}

Account newaccount(const char* button)
{
    Account account;
    account.set("uname", "New User");
    account.set("obp", button);
    return account;
}

// ---- The two forms, as lists of rows and hidden inputs ----------------------

// A row of a form: a field's, under the form's own label when it has one.
struct Row {
    const char* name;
    const char* label = nullptr;
};

constexpr Row reduced_rows[] = {
    {"fname"},  {"pwd"}, {"pwd2", "Re-enter Password"}, {"dea"}, {"dp"}, {"iformat"},
    {"urldel"}, {"df"},
};

constexpr Row admin_rows[] = {
    {"uname"}, {"fname"}, {"pwd"},   {"pwd2"}, {"fea"},     {"ipfrom"}, {"did"},
    {"dea"},   {"dp"},    {"style"}, {"df"},   {"iformat"}, {"urldel"}, {"priv"},
};

constexpr const char* reduced_hidden[] = {"obp", "opwd",     "ofname",  "odea",  "odp",
                                          "odf", "oiformat", "ourldel", "ostyle"};
constexpr const char* admin_hidden[] = {"obp",     "admin", "ouname", "ofname",   "opwd",
                                        "odea",    "odid",  "ofea",   "odp",      "odf",
                                        "oipfrom", "oipto", "priv",   "opriv-ad", "opriv-pm"};

const char* checked(bool on) { return on ? " checked" : ""; }
const char* selected(bool on) { return on ? " selected" : ""; }

std::string value_of(const Account& account, const char* name) { return htmlescape(account[name]); }

void putinput(const Field& f, const Account& account)
{
    switch (f.input) {
    case Input::none:
        break;
    case Input::text:
        putf("<input type=text name=%s size=%d value=\"%s\">", f.name, f.size,
             value_of(account, f.name).c_str());
        break;
    case Input::password:
        putf("<input type=password name=%s size=%d value=\"%s\">", f.name, f.size, UNTOUCHED);
        break;
    case Input::iprange: {
        const Field& upper = field("ipto");
        putf("<input type=text name=%s size=%d value=\"%s\"> -"
             "<input type=text name=%s size=%d value=\"%s\">",
             f.name, f.size, value_of(account, f.name).c_str(), upper.name, upper.size,
             value_of(account, upper.name).c_str());
        break;
    }
    case Input::mailformat: {
        bool text = account["df"] == "text";
        putf("<input type=radio name=df value=\"text\"%s> Text "
             "<input type=radio name=df value=\"html\"%s> HTML",
             checked(text), checked(!text));
        break;
    }
    case Input::imageformat: {
        bool pdf = account["iformat"] == "pdf";
        putf("<input type=radio name=iformat value=\"tiff\"%s> TIFF "
             "<input type=radio name=iformat value=\"pdf\"%s> PDF",
             checked(!pdf), checked(pdf));
        break;
    }
    case Input::urldelivery: {
        const std::string& kind = account["urldel"];
        putf("<select name=urldel>\n"
             "<option value=\"file\"%s>Deliver fax file\n"
             "<option value=\"url\"%s>Deliver URL only\n"
             "<option value=\"file+url\"%s>Deliver URL and file\n"
             "</select>",
             selected(kind == "file"), selected(kind == "url"), selected(kind == "file+url"));
        break;
    }
    case Input::privileges: {
        const std::string& priv = account["priv"];
        putf("<input type=checkbox name=priv-ad value=\"admin\"%s> Administrator "
             "<input type=checkbox name=priv-pm value=\"postmaster\"%s> Postmaster",
             checked(priv.find("admin") != std::string::npos),
             checked(priv.find("postmaster") != std::string::npos));
        break;
    }
    }
}

template <std::size_t N>
void putrows(const Row (&rows)[N], const Account& account)
{
    for (const Row& row : rows) {
        const Field& f = field(row.name);
        if (f.shown && !f.shown())
            continue;
        putf("<tr><td>%s</td><td>", row.label ? row.label : f.label);
        putinput(f, account);
        putline("</td></tr>");
    }
}

void puthidden(const char* name, const std::string& value)
{
    putf("<input type=hidden name=%s value=\"%s\">\n", name, htmlescape(value).c_str());
}

template <std::size_t N>
void puthiddens(const char* const (&names)[N], const Account& account)
{
    for (const char* name : names)
        puthidden(name, account[name]);
}

void putbutton(const char* value) { putf("<input type=submit name=button value=\"%s\">\n", value); }

std::string caption(const Account& account)
{
    if (!if_blank(account["fname"].c_str()))
        return account["fname"];
    if (!account["uname"].empty())
        return account["uname"];
    return "?";
}

// The top of both forms, up to the form element.
void puthead(const char* helpid, const Account& account, const char* message)
{
    putpagehead("%s", UPDATE_TITLE);
    putbanner(helpid);
    if (message)
        putf("<p><b>%s</b>\n", message);
    if (account.nopassword)
        putline(NO_PASSWORD_BOX);
}

void putcaption(const Account& account)
{
    putf("<caption>Parameters for <em>%s</em></caption>\n", htmlescape(caption(account)).c_str());
}

void reducedform(const Account& account, const char* message)
{
    puthead("HXuserupdate", account, message);
    putline("<form action = \"$SCRIPT_NAME/Action3\" method = post>");
    puthiddens(reduced_hidden, account);
    putline("<p><table border = 2 cellpadding = 2 cellspacing = 2>");
    putcaption(account);
    putrows(reduced_rows, account);
    putline("</table>\n<p>");
    putbutton("Update");
    putbutton("Cancel");
    putline("</form>");
    putfooter();
}

void adminform(const Account& account, const char* message)
{
    puthead("HXadminuserupdate", account, message);
    putline("<form action=\"$SCRIPT_NAME/Action4/\" method=post>");
    Account shown = account;
    shown.set("admin", "x");
    puthiddens(admin_hidden, shown);
    putline("<p><table border=2 cellpadding=2 cellspacing=2>");
    putcaption(account);
    putrows(admin_rows, account);
    putline("</table>\n<p>");
    const std::string& opener = account["obp"];
    if (opener == "Delete") {
        putline("ARE YOU SURE YOU WANT TO DELETE USER?");
        putbutton("Delete");
    } else {
        putbutton(opener == "Add" ? "Add" : "Update");
    }
    putbutton("Cancel");
    putline("</form>");
    putfooter();
}

void showform(const Account& account, int adminflag, const char* message)
{
    if (adminflag)
        adminform(account, message);
    else
        reducedform(account, message);
}

// No section: the empty form of a new account.
void showaccount(const ParamSection* section, int adminflag, bool repost, const char* message,
                 const char* button)
{
    if (!section)
        showform(newaccount(button), adminflag, message);
    else if (repost)
        showform(posted(), adminflag, message);
    else
        showform(stored(section, button), adminflag, message);
}

// The account form of `name`, run for `button`; `repost` shows the posted
// record instead of the stored values (a refused update).
void accountform(const char* name, int adminflag, bool repost, const char* message,
                 const char* button)
{
    const ParamSection* section = nullptr;
    if (is(button, "Add")) {
        name = nullptr;
    } else if (is(button, "Cancel")) {
        gohome();
        return;
    } else if (name && *name) {
        section = paramfile_find_section(usersfile_list(), name);
    } else if (is(button, "Delete")) {
        HXselectuser("Please select the user you wish to delete.");
        return;
    } else if (is(button, "Update")) {
        HXselectuser("Please select the user you wish to update.");
        return;
    }
    showaccount(section, adminflag, repost, message, button);
}

// The signed-in user's reduced form, whatever the posted button says.
void ownform(const char* message, bool repost)
{
    showaccount(paramfile_find_section(usersfile_list(), authuser), 0, repost, message,
                formvalue("button"));
}

// ---- The account update -------------------------------------------------------

// Fields stored as typed, each list in the order the update stores them: a
// key new to a section goes first in it, so the order shows in the file.
constexpr const char* add_texts[] = {"fname", "dea", "did", "dp", "fea", "ipfrom", "ipto"};
constexpr const char* update_texts[] = {"fname", "dea", "did", "dp", "style"};
constexpr const char* admin_texts[] = {"fea", "ipfrom", "ipto"};
constexpr const char* all_texts[] = {"fname", "dea", "did", "dp", "style", "fea", "ipfrom", "ipto"};

const Field& field(const char* name)
{
    for (const Field& f : fields)
        if (strcmp(f.name, name) == 0)
            return f;
    FXcatastrophe(0, __FILE_NAME__, __LINE__);
    abort();
}

// What a user may change on their own form; the rest of the account is
// the administrator's.
bool ownfield(const char* name)
{
    return is(name, "fname") || is(name, "dea") || (is(name, "dp") && delivery_program());
}

void storefield(ParamSection* section, const char* name)
{
    usersfile_set(section, field(name).key, formvalue(name));
}

// Writes a field whose new value was posted and differs from its old one.
void updatefield(ParamSection* section, const char* name)
{
    const Field& f = field(name);
    const char* value = formvalue(f.name);
    if (value && nullstrcmp(value, formvalue(f.oldname)) != 0)
        usersfile_set(section, f.key, value);
}

// A choice field takes the posted choice when it differs from the old one;
// anything outside `choices` changes nothing.
template <std::size_t N>
void updatechoice(ParamSection* section, const char* name, const char* const (&choices)[N])
{
    const Field& f = field(name);
    const char* value = formvalue(f.name);
    for (const char* choice : choices)
        if (is(value, choice) && !is(formvalue(f.oldname), choice))
            usersfile_set(section, f.key, choice);
}

constexpr const char* mail_formats[] = {"html", "text"};
constexpr const char* image_formats[] = {"tiff", "pdf"};
constexpr const char* url_deliveries[] = {"file", "url", "file+url"};

enum class Password { keep, set, remove, mismatch };

Password passwordrule()
{
    const char* pwd = formvalue("pwd");
    // A post without the box changes no password, as an untouched box does.
    if (!pwd || strcmp(pwd, UNTOUCHED) == 0)
        return Password::keep;
    if (nullstrcmp(pwd, formvalue("pwd2")) != 0)
        return Password::mismatch;
    return if_blank(pwd) ? Password::remove : Password::set;
}

// The typed password is the account's current one, as the file holds it
// under the lock (the form carries no digest to compare with).  An account
// without a password has none to type.
bool typedcurrent(const ParamSection* section)
{
    const char* pwd = formvalue("pwd");
    const char* stored = section ? paramfile_get(section, USER_PASSWORD) : nullptr;
    if (!pwd || !stored)
        return false;
    std::string digest = stored;
    const char* end = base64_decode(digest.data());
    return end - digest.data() == static_cast<std::ptrdiff_t>(SHA1_DIGEST_SIZE) &&
           checkpassword(pwd, reinterpret_cast<const unsigned char*>(digest.data()));
}

// A new account drops trailing blanks, which a browser may add unseen; a
// changed password is kept as typed.
void applypassword(ParamSection* section, bool add)
{
    Password rule = passwordrule();
    if (rule == Password::remove) {
        usersfile_set(section, USER_PASSWORD, nullptr);
    } else if (rule == Password::set) {
        std::string typed = formvalue("pwd");
        if (add)
            trim(typed.data());
        char digest[29];
        digestpassword(typed.c_str(), digest);
        usersfile_set(section, USER_PASSWORD, digest);
    }
}

bool linebreak(const char* value) { return value && strpbrk(value, "\r\n"); }

// Why the posted form may not be applied, or null.  `naming`: the update
// gives an account the name `newname`; `section`: the account updated, null
// for an added one.  A line break would let a value write lines of its own
// into the users file, a ']' would end the section header early, and a
// value longer than the file's line would come back cut at the next update.
const char* refusal(ParamSection* list, int self, bool naming, const char* newname,
                    const ParamSection* section)
{
    if (naming && linebreak(newname))
        return USERS_LINE_BREAK;
    for (const char* name : all_texts)
        if ((!self || ownfield(name)) && linebreak(formvalue(name)))
            return USERS_LINE_BREAK;
    for (const char* name : all_texts) {
        const char* value = formvalue(name);
        if ((!self || ownfield(name)) && value &&
            !paramfile_fits(users_param_names, field(name).key, value))
            return USERS_TOO_LONG;
    }
    if (const char* error = naming ? usersfile_namerefusal(list, newname) : nullptr)
        return error;
    if (!typedcurrent(section) && passwordrule() == Password::mismatch)
        return USERS_MISMATCH;
    return nullptr;
}

void deleteaccount(ParamSection*& list, std::string& name)
{
    ParamSection* section = paramfile_find_section(list, formvalue("uname"));
    FXcatastrophe(section != nullptr, __FILE_NAME__, __LINE__);
    name = section->name;
    paramfile_remove_section(&list, section);
}

const char* addaccount(ParamSection*& list, std::string& name)
{
    const char* uname = formvalue("uname");
    if (const char* error = refusal(list, 0, true, uname, nullptr))
        return error;
    ParamSection* section = paramfile_add_section(&list);
    FXcatastrophe(section != nullptr, __FILE_NAME__, __LINE__);
    section->name = strsave(uname);
    FXcatastrophe(section->name != nullptr, __FILE_NAME__, __LINE__);
    applypassword(section, true);
    for (const char* text : add_texts)
        storefield(section, text);
    usersfile_set(section, USER_MAIL_FORMAT, is(formvalue("df"), "html") ? "html" : "text");
    for (const char* choice : image_formats)
        if (is(formvalue("iformat"), choice))
            usersfile_set(section, USER_IMAGE_FORMAT, choice);
    for (const char* choice : url_deliveries)
        if (is(formvalue("urldel"), choice))
            usersfile_set(section, USER_URL_DELIVERY, choice);
    storefield(section, "style");
    usersfile_set(section, USER_PRIVILEGES,
                  usersfile_privileges(ticked(formvalue("priv-ad")), ticked(formvalue("priv-pm"))));
    name = uname;
    return nullptr;
}

const char* updateaccount(ParamSection* list, int self, std::string& name)
{
    ParamSection* section = paramfile_find_section(list, self ? authuser : formvalue("ouname"));
    FXcatastrophe(section != nullptr, __FILE_NAME__, __LINE__);
    const char* uname = formvalue("uname");
    bool rename = !self && nullstrcmp(uname, formvalue("ouname")) != 0;
    if (const char* error = refusal(list, self, rename, uname, section))
        return error;
    if (rename)
        FXcatastrophe(paramfile_rename_section(section, uname), __FILE_NAME__, __LINE__);
    if (!typedcurrent(section))
        applypassword(section, false);
    for (const char* text : update_texts)
        if (!self || ownfield(text))
            updatefield(section, text);
    updatechoice(section, "df", mail_formats);
    updatechoice(section, "iformat", image_formats);
    if (!self || url_delivery())
        updatechoice(section, "urldel", url_deliveries);
    if (!self) {
        for (const char* text : admin_texts)
            updatefield(section, text);
        bool admin = ticked(formvalue("priv-ad")), postmaster = ticked(formvalue("priv-pm"));
        if (admin != ticked(formvalue("opriv-ad")) || postmaster != ticked(formvalue("opriv-pm")))
            usersfile_set(section, USER_PRIVILEGES, usersfile_privileges(admin, postmaster));
    }
    name = section->name;
    return nullptr;
}

// Shows the form again with `error` above it, the way it was posted.
void refuse(int self, const char* error)
{
    if (self)
        ownform(error, true);
    else
        accountform(formvalue("ouname"), 1, true, error, formvalue("button"));
}

// The update cannot reach the users file: the form again with the reason,
// and the run ends.
[[noreturn]] void cannotupdate(int self, int error)
{
    std::string reason = strerror(error);
    logmsg(LOG_TOFILE | LOG_TOECHO, LOG_FATAL, 0, "Cannot update user file.");
    std::string message = "Cannot update user file (" + htmlescape(reason) + ").";
    refuse(self, message.c_str());
    exit(1);
}

// Applies the posted form for `button` to `list`, the users file as read
// under its lock: the account's name and the verb of the message, or why
// the form may not be applied.
const char* applyform(ParamSection*& list, int self, const char* button, std::string& name,
                      const char*& verb)
{
    if (is(button, "Delete")) {
        deleteaccount(list, name);
        verb = "deleted";
        return nullptr;
    }
    if (is(button, "Add")) {
        verb = "added";
        return addaccount(list, name);
    }
    FXcatastrophe(is(button, "Update"), __FILE_NAME__, __LINE__);
    verb = "changed";
    return updateaccount(list, self, name);
}

void putcount(int count)
{
    if (count == 1)
        putline("<p>1 account is defined.");
    else
        putf("<p>%d accounts are defined.\n", count);
}

} // namespace

// ---- Interfaces -----------------------------------------------------------------

void HXselectuser(const char* message)
{
    putpagehead("%s", SELECT_TITLE);
    putbanner("HXselectuser");
    if (message)
        putf("<p><b>%s</b>\n", message);
    putline("<p>Please select the user you wish to update or delete"
            ", or press add to add a new user to the database.");
    putline("<form action=\"$SCRIPT_NAME/Action2\" method=post>");
    putline("<select name=user size=4>");
    // Thousands of rows: built in a block of page text, not one call each.
    int count = 0;
    std::string rows;
    usersfile_each(USER_FULL_NAME, [&](std::string_view name, std::string_view label) {
        ++count;
        if (label.data() == nullptr || if_blank(label))
            label = name;
        rows += "<option value=\"";
        htmlescapeto(rows, name);
        rows += "\">";
        htmlescapeto(rows, label);
        rows += '\n';
        if (rows.size() >= 32768) {
            puttext(rows);
            rows.clear();
        }
    });
    puttext(rows);
    putline("</select>\n<br>");
    putcount(count);
    putline("<p>");
    for (const char* button : {"Add", "Update", "Delete", "Cancel"})
        putbutton(button);
    putline("</form>");
    putfooter();
}

void userform(const char* name, int adminflag)
{
    accountform(name, adminflag, false, nullptr, formvalue("button"));
}

void userupdate(int self)
{
    const char* button = formvalue("button");
    // A user's own form reaches no further than their own settings.
    if (self && !is(button, "Update") && !is(button, "Cancel")) {
        ownform(NOT_ALLOWED, false);
        return;
    }
    if (is(button, "Cancel")) {
        if (self) {
            gohome();
        } else {
            HXsecurity("admin");
            HXselectuser(nullptr);
        }
        return;
    }
    std::string name;
    const char* verb = nullptr;
    const char* error = nullptr;
    // The change is made to the file as read again under its lock, so that
    // it keeps what a concurrent update has just written.
    int result = usersfile_change([&](ParamSection*& list) {
        error = applyform(list, self, button, name, verb);
        return error == nullptr;
    });
    if (result == USERS_NORELOAD)
        fatalerror("ERR 999: Cannot load user parameter File");
    if (result != USERS_OK && result != USERS_REFUSED)
        cannotupdate(self, errno);
    if (error) {
        refuse(self, error);
        return;
    }
    std::string message = "User <em>" + htmlescape(name) + "</em> has been " + verb + ".<p>\n";
    if (self)
        ownform(message.c_str(), false);
    else
        HXselectuser(message.c_str());
}
