// formfield: what a handler reads back from the decoded form is a posted
// value, never the path of an uploaded file of the same name; and each new
// list counts its fields and its limit afresh, as a process that decodes
// many forms (the fuzz targets) needs.  The lists are filled in children,
// which end without freeing them.
#include "www/formfield.h"

#include <cstdint>
#include <cstdio>

#include <gtest/gtest.h>

#include "lib/string.h"
#include "tests/harness.h"

namespace {

void add(int16_t file, const char* name, const char* value)
{
    FormField* field = addformfield();
    field->file = file;
    field->name = strsave(name);
    field->value = strsave(value);
}

} // namespace

TEST(FormfieldTest, FormvalueIsTheFirstPostedValueOfExactlyThatName)
{
    Sandbox box;
    RunResult r = box.run_forked([] {
        newformlist();
        add(1, "user", "/tmp/upload.1");
        add(0, "user", "alice");
        add(0, "user", "bob");
        add(0, "User", "carol");
        add(0, nullptr, "nameless");
        add(0, "empty", "");
        for (const char* name :
             {"user", "User", "use", "empty", static_cast<const char*>(nullptr)}) {
            const char* value = formvalue(name);
            std::printf("%s=%s\n", name ? name : "(null)", value ? value : "(null)");
        }
        std::printf("%d\n", formfieldcount());
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "user=alice\nUser=carol\nuse=(null)\nempty=\n(null)=(null)\n6\n");
}

TEST(FormfieldTest, ANewListStartsItsCountAndLimitAfresh)
{
    Sandbox box;
    RunResult r = box.run_forked([] {
        newformlist();
        for (int i = 0; i <= FORM_FIELDS_MAX; ++i)
            add(0, "f", "v");
        std::printf("%d %d %s\n", formfieldcount(), formoverflow(), formvalue("f"));
        newformlist();
        std::printf("%d %d %s\n", formfieldcount(), formoverflow(),
                    formvalue("f") ? "kept" : "gone");
        add(0, "g", "w");
        std::printf("%d %d %s\n", formfieldcount(), formoverflow(), formvalue("g"));
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "5000 1 v\n0 0 gone\n1 0 w\n");
}
