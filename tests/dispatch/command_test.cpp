// dispatch_expand: every fact quoted for where it stands in the action, as
// exact bytes and as what /bin/sh (and bash, which is /bin/sh elsewhere)
// then hands the program; the actions it must refuse.
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "dispatch/zeldispatch.h"
#include "tests/harness.h"

namespace {

class ExpandTest : public testing::Test {
protected:
    ExpandTest()
    {
        run_.facts = &facts_;
        run_.faxpath = "/var/spool/fa00042";
    }

    // Every string fact of the fax becomes `text`.
    void strings(const std::string& text)
    {
        text_ = text;
        facts_.tsi = facts_.barcode = facts_.did = facts_.faxline = text_.data();
    }

    std::string expand(const std::string& action, int expected = EXPAND_OK)
    {
        std::string out;
        EXPECT_EQ(dispatch_expand(run_, action.c_str(), out), expected) << action;
        return out;
    }

    FaxTiffInfo facts_{3, -1, 0, 0, nullptr, nullptr, nullptr, nullptr};
    DispatchRun run_;
    std::string text_;
};

TEST_F(ExpandTest, EachFactIsQuotedForItsPlaceAndTheRestIsCopied)
{
    strings("it's \"a\" $x\\");
    const std::string word = R"('it'\''s "a" $x\')";
    const std::string in_single = R"(it'\''s "a" $x\)";
    const std::string in_double = R"(it's \"a\" \$x\\)";
    struct Case {
        std::string action, expanded;
    } cases[] = {
        {"d $tsi '$tsi' \"$tsi\"", "d " + word + " '" + in_single + "' \"" + in_double + "\""},
        {"d a\"b$did\"'c$did'$did", "d a\"b" + in_double + "\"'c" + in_single + "'" + word},
        // The shell's own escapes: a literal $ stays a literal $.
        {R"(d \$tsi "\$tsi" \\$tsi "\\$tsi" '\$tsi')",
         R"(d \$tsi "\$tsi" \\)" + word + R"( "\\)" + in_double + R"(" '\)" + in_single + "'"},
        {R"(d \'$tsi \"$tsi \`$tsi)", R"(d \')" + word + R"( \")" + word + R"( \`)" + word},
        // $(...) starts afresh, even inside "...", and ends at its own ')'.
        {"d \"$(p \"$tsi\" $tsi ')' \\) (x) '$tsi')$tsi\"",
         "d \"$(p \"" + in_double + "\" " + word + " ')' \\) (x) '" + in_single + "')" + in_double +
             "\""},
        {"d $$tsi \"$1$tsi\" $pages $other $ $tsiX ${HOME} `date` $file",
         "d $$tsi \"$1" + in_double + "\" '3' $other $ $tsiX ${HOME} `date` '/var/spool/fa00042'"},
        // A comment is the shell's to skip, even after a backslash-newline.
        {"d $tsi #$tsi\nd a#$tsi \\\n#$tsi", "d " + word + " #$tsi\nd a#" + word + " \\\n#$tsi"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(expand(c.action), c.expanded) << c.action;
}

TEST_F(ExpandTest, AFactWhereTheQuotingIsNotFollowedRefusesTheAction)
{
    strings("x");
    for (const char* action : {
             "d `echo $tsi`",
             "d \"`echo $tsi`\"",
             "d `$tsi",
             "d ${x:-$tsi}",
             "d ${x#a} $tsi",
             "d $(( $pages + 1 ))",
             "(( n = $pages ))",
             "d $[ $pages ]",
             "d $'$tsi'",
             "d \"$(case a in a) echo;; esac)\" \"$tsi\"",
             "cat <<E\n$tsi\nE",
         })
        expand(action, EXPAND_UNQUOTABLE);
    // The same constructs without a fact are the administrator's own.
    const std::string own = "d `echo $HOME` ${x:-y} ${#x} $(( 1 + 2 )) $'a' <<E\n$tsiX\nE";
    EXPECT_EQ(expand(own), own);
}

// The shell gets the exact value as one argument and runs nothing else.
TEST_F(ExpandTest, HostileFactsReachTheProgramExactlyThroughTheShell)
{
    Sandbox box;
    const std::string mark = box.path("pwned");
    const std::string touch = "touch " + mark;
    const std::vector<std::string> values = {
        "'",
        "\"",
        "\\",
        "x\\",
        "a\nb",
        "$(" + touch + ")",
        "`" + touch + "`",
        "'; " + touch + "; '",
        "\"; " + touch + "; \"",
        "\\'\"$(" + touch + ")'\\",
        "); " + touch + "; (",
        "# '",
        "$tsi ${x:-y} $((1)) *",
    };
    // Each '@' of the output is the value.
    struct Case {
        const char* action;
        const char* output;
    } cases[] = {
        {"printf [%s] $tsi", "[@]"},
        {"printf [%s] '$tsi'", "[@]"},
        {"printf [%s] \"$tsi\"", "[@]"},
        {"printf [%s] x\\ $tsi\\\"\"$tsi\"'$tsi'", "[x @\"@@]"},
        {"printf [%s] \"<$(printf %s \"$tsi\")|$(printf %s $tsi '$tsi')>\"", "[<@|@@>]"},
    };
    for (const std::string& value : values) {
        strings(value);
        for (const Case& c : cases) {
            std::string expected;
            for (const char* o = c.output; *o != '\0'; ++o)
                expected += *o == '@' ? value : std::string(1, *o);
            RunOptions options;
            options.args = {"-c", expand(c.action)};
            for (const char* shell : {"/bin/sh", "/bin/bash"}) {
                if (access(shell, X_OK) != 0)
                    continue;
                RunResult r = box.run(shell, options);
                EXPECT_EQ(r.status, 0) << shell << ": " << options.args[1] << "\n" << r.err;
                EXPECT_EQ(r.out, expected) << shell << ": " << options.args[1];
                EXPECT_FALSE(box.exists("pwned")) << shell << ": " << options.args[1];
            }
        }
    }
}

} // namespace
