// The baseline of the web server benchmark: a minimal CGI program that
// answers with as many bytes as the page it stands for (QUERY_STRING, the
// header block included), in one write.
#include <cstdlib>
#include <string>

#include <unistd.h>

int main()
{
    const char* query = std::getenv("QUERY_STRING");
    std::string answer = "Content-type: text/html\r\n\r\n";
    std::size_t size = query != nullptr ? std::strtoul(query, nullptr, 10) : 0;
    if (size > answer.size())
        answer.resize(size, 'x');
    return write(1, answer.data(), answer.size()) == static_cast<ssize_t>(answer.size()) ? 0 : 1;
}
