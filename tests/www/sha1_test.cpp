#include "www/sha1.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

std::string hex(const unsigned char digest[SHA1_DIGEST_SIZE])
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < SHA1_DIGEST_SIZE; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0xf];
    }
    return text;
}

std::string digest_of(const std::string& bytes)
{
    unsigned char digest[SHA1_DIGEST_SIZE];
    sha1(bytes.data(), bytes.size(), digest);
    return hex(digest);
}

// The same digest fed in random-sized pieces, empty ones included.
std::string digest_in_chunks(const std::string& bytes, std::mt19937& random)
{
    Sha1Context context;
    sha1_init(&context);
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t take = std::min<std::size_t>(random() % 80, bytes.size() - at);
        sha1_update(&context, bytes.data() + at, take);
        at += take;
    }
    unsigned char digest[SHA1_DIGEST_SIZE];
    sha1_final(&context, digest);
    return hex(digest);
}

// Random inputs around the block and padding boundaries, and a few that
// span many blocks, each written to a file of the sandbox.
struct RandomInputs {
    std::vector<std::string> data;
    std::vector<std::string> paths;
};

RandomInputs write_random_inputs(const Sandbox& box)
{
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 130; ++n)
        lengths.push_back(n);
    for (std::size_t n : {191, 192, 193, 1000, 4095, 4096, 4097, 100003})
        lengths.push_back(n);
    std::mt19937 random(180);
    RandomInputs inputs;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        std::string bytes(lengths[i], '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        std::string name = "tmp/in" + std::to_string(i);
        box.write(name, bytes);
        inputs.data.push_back(bytes);
        inputs.paths.push_back(box.path(name));
    }
    return inputs;
}

// The first word of every line of a tool's output.
std::vector<std::string> first_words(const std::string& output)
{
    std::vector<std::string> words;
    for (const std::string& line : lines_of(output)) {
        std::istringstream in(line);
        std::string word;
        in >> word;
        words.push_back(word);
    }
    return words;
}

void compare_with_tool(const char* command_prefix)
{
    Sandbox box;
    RandomInputs inputs = write_random_inputs(box);
    std::string command = command_prefix;
    for (const std::string& path : inputs.paths)
        command += " '" + path + "'";
    std::vector<std::string> expected = first_words(shell_output(command));
    ASSERT_EQ(expected.size(), inputs.data.size()) << command_prefix;
    std::mt19937 random(7);
    for (std::size_t i = 0; i < inputs.data.size(); ++i) {
        SCOPED_TRACE("length " + std::to_string(inputs.data[i].size()));
        EXPECT_EQ(digest_of(inputs.data[i]), expected[i]);
        EXPECT_EQ(digest_in_chunks(inputs.data[i], random), expected[i]);
    }
}

} // namespace

TEST(Sha1Test, PublishedVectors)
{
    EXPECT_EQ(digest_of("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(digest_of(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(digest_of(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1Test, MillionAsOneByteAtATime)
{
    Sha1Context context;
    sha1_init(&context);
    for (int i = 0; i < 1000000; ++i)
        sha1_update(&context, "a", 1);
    unsigned char digest[SHA1_DIGEST_SIZE];
    sha1_final(&context, digest);
    EXPECT_EQ(hex(digest), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1Test, ContextIsReusableAfterInit)
{
    Sha1Context context;
    sha1_init(&context);
    sha1_update(&context, "garbage", 7);
    unsigned char digest[SHA1_DIGEST_SIZE];
    sha1_final(&context, digest);
    sha1_init(&context);
    sha1_update(&context, "abc", 3);
    sha1_final(&context, digest);
    EXPECT_EQ(hex(digest), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1Test, AgreesWithSha1sum)
{
    if (!have_program("sha1sum"))
        GTEST_SKIP() << "sha1sum is not installed";
    compare_with_tool("sha1sum");
}

TEST(Sha1Test, AgreesWithOpenssl)
{
    if (!have_program("openssl"))
        GTEST_SKIP() << "openssl is not installed";
    compare_with_tool("openssl dgst -sha1 -r");
}
