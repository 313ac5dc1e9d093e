#include "tests/cgi.h"

#include <cctype>

#include "www/base64.h"
#include "www/sha1.h"

namespace cgi {

std::string base64(const std::string& bytes)
{
    std::string out(((bytes.size() + 2) / 3) * 4, '\0');
    base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data());
    return out;
}

std::string stored_password(const std::string& password)
{
    unsigned char sum[SHA1_DIGEST_SIZE];
    sha1(password.data(), password.size(), sum);
    return base64(std::string(reinterpret_cast<char*>(sum), sizeof sum));
}

std::string basic(const std::string& credentials)
{
    return "HTTP_AUTHORIZATION=Basic " + base64(credentials);
}

std::string urlencode(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '*') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string urlencode(const Form& form)
{
    std::string body;
    for (const auto& [name, value] : form)
        body += (body.empty() ? "" : "&") + urlencode(name) + "=" + urlencode(value);
    return body;
}

RunOptions get(const std::string& path, std::vector<std::string> env)
{
    RunOptions options;
    options.env = std::move(env);
    options.env.push_back("REQUEST_METHOD=GET");
    options.env.push_back("PATH_INFO=" + path);
    return options;
}

RunOptions post(const std::string& path, const std::string& body, std::vector<std::string> env,
                const std::string& type)
{
    RunOptions options;
    options.env = std::move(env);
    options.env.push_back("REQUEST_METHOD=POST");
    options.env.push_back("PATH_INFO=" + path);
    options.env.push_back("CONTENT_TYPE=" + type);
    options.env.push_back("CONTENT_LENGTH=" + std::to_string(body.size()));
    options.input = body;
    return options;
}

RunResult zeladmin(const Sandbox& box, const RunOptions& options)
{
    return box.run(program_path("zeladmin"), options);
}

} // namespace cgi
