#include "www/base64.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

// Decodes a heap copy of exactly the text's size, so a read or a write
// past its NUL shows under the sanitizers; the result is checked to end
// no later than the input did.
std::string decoded(const std::string& text)
{
    auto copy = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    char* end = base64_decode(copy.get());
    EXPECT_GE(end, copy.get());
    EXPECT_LE(end, copy.get() + text.size());
    EXPECT_EQ(*end, '\0');
    return std::string(copy.get(), static_cast<std::size_t>(end - copy.get()));
}

std::string encoded(const std::string& bytes)
{
    std::size_t size = (bytes.size() + 2) / 3 * 4;
    std::string out(size + 8, '#');
    base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data());
    EXPECT_EQ(out.substr(size), std::string(8, '#')) << "wrote past its characters";
    out.resize(size);
    return out;
}

struct DecodeCase {
    const char* text;
    std::string bytes;
};

// The commands of one tool: {} stands for the file.
struct Tool {
    const char* encode_one_line;
    const char* encode_wrapped;
    const char* decode;
};

std::string with_file(const char* command, const std::string& path)
{
    std::string text = command;
    return text.replace(text.find("{}"), 2, "'" + path + "'");
}

// Random inputs of every length up to a few groups, around the tools'
// line lengths, and some long ones.
std::vector<std::string> random_inputs()
{
    std::mt19937 random(64);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 24; ++n)
        lengths.push_back(n);
    for (std::size_t n : {47, 48, 49, 56, 57, 58, 100, 1000, 4096, 4097})
        lengths.push_back(n);
    std::vector<std::string> inputs;
    for (std::size_t n : lengths) {
        std::string bytes(n, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        inputs.push_back(bytes);
    }
    return inputs;
}

// The tool's texts of every input, one shell run each way: a "." line
// separates them, as it is not a base64 character.
std::vector<std::string> tool_texts(const char* command, const std::vector<std::string>& paths)
{
    std::string script;
    for (const std::string& path : paths)
        script += with_file(command, path) + "; echo .; ";
    std::vector<std::string> texts(1);
    for (const std::string& line : lines_of(shell_output(script))) {
        if (line == ".")
            texts.emplace_back();
        else
            texts.back() += line + "\n";
    }
    texts.pop_back();
    return texts;
}

void compare_with_tool(const Tool& tool)
{
    Sandbox box;
    std::vector<std::string> inputs = random_inputs();
    std::vector<std::string> plain_paths, encoded_paths;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        box.write("tmp/plain" + std::to_string(i), inputs[i]);
        box.write("tmp/encoded" + std::to_string(i), encoded(inputs[i]));
        plain_paths.push_back(box.path("tmp/plain" + std::to_string(i)));
        encoded_paths.push_back(box.path("tmp/encoded" + std::to_string(i)));
    }
    std::vector<std::string> one_line = tool_texts(tool.encode_one_line, plain_paths);
    std::vector<std::string> wrapped = tool_texts(tool.encode_wrapped, plain_paths);
    ASSERT_EQ(one_line.size(), inputs.size());
    ASSERT_EQ(wrapped.size(), inputs.size());

    std::string script;
    for (const std::string& path : encoded_paths)
        script += with_file(tool.decode, path) + "; ";
    std::string tool_decoded = shell_output(script);

    std::size_t at = 0;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE("length " + std::to_string(inputs[i].size()));
        EXPECT_EQ(encoded(inputs[i]) + "\n", one_line[i]);
        EXPECT_EQ(decoded(wrapped[i]), inputs[i]);
        EXPECT_EQ(tool_decoded.substr(at, inputs[i].size()), inputs[i]);
        at += inputs[i].size();
    }
    EXPECT_EQ(at, tool_decoded.size());
}

} // namespace

TEST(Base64Test, EncodeTable)
{
    // RFC 4648 section 10, and bytes that use the last letters of the alphabet.
    EXPECT_EQ(encoded(""), "");
    EXPECT_EQ(encoded("f"), "Zg==");
    EXPECT_EQ(encoded("fo"), "Zm8=");
    EXPECT_EQ(encoded("foo"), "Zm9v");
    EXPECT_EQ(encoded("foob"), "Zm9vYg==");
    EXPECT_EQ(encoded("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encoded("foobar"), "Zm9vYmFy");
    EXPECT_EQ(encoded("\xfb\xff\xbf"), "+/+/");
    EXPECT_EQ(encoded(std::string("\0\0\0", 3)), "AAAA");
    EXPECT_EQ(encoded(std::string(20, '\xff')).size(), 28u);
}

TEST(Base64Test, DecodeTable)
{
    const DecodeCase cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYmFy", "foobar"},
        {"+/+/", "\xfb\xff\xbf"},
        {"AAAA", std::string("\0\0\0", 3)},
        // white space anywhere between characters
        {" Zm\t9v\r\nYm\nFy ", "foobar"},
        {"Z\ng\n=\n=\n", "f"},
        {"   ", ""},
        // a third or fourth '=' yields the group and ends the data
        {"Zg=", "f"},
        {"Zg==Zm9v", "f"},
        {"Zm8=Zm9v", "fo"},
        {"Zm8=\n", "fo"},
        // a first or second '=' stops without a byte of its group
        {"Zm9v=Zm9v", "foo"},
        {"Zm9vZ=g=", "foo"},
        {"=", ""},
        {"==", ""},
        // a group the text ends inside is dropped
        {"Zm9vY", "foo"},
        {"Zm9vYm", "foo"},
        {"Zm9vYmF", "foo"},
        {"Z", ""},
        // bytes outside the alphabet carry nothing
        {"Zm*9v", "foo"},
        {"Zm9v\x80YmFy", "foobar"},
    };
    for (const DecodeCase& c : cases)
        EXPECT_EQ(decoded(c.text), c.bytes) << '"' << c.text << '"';
}

TEST(Base64Test, DecodeReturnsTheTerminatorEvenAfterZeroBytes)
{
    char text[] = "AAECAw==";
    char* end = base64_decode(text);
    EXPECT_EQ(end, text + 4);
    EXPECT_EQ(std::memcmp(text, "\0\1\2\3\0", 5), 0);
}

TEST(Base64Test, AgreesWithCoreutils)
{
    if (!have_program("base64"))
        GTEST_SKIP() << "base64 is not installed";
    compare_with_tool({"base64 -w0 {}; echo", "base64 {}", "base64 -d {}"});
}

TEST(Base64Test, AgreesWithOpenssl)
{
    if (!have_program("openssl"))
        GTEST_SKIP() << "openssl is not installed";
    compare_with_tool(
        {"openssl base64 -A -in {}; echo", "openssl base64 -in {}", "openssl base64 -d -A -in {}"});
}
