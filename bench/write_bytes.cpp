// The baseline of the page benchmarks: a minimal CGI program that writes as
// many bytes as the page it stands for (the first argument), in one write.
#include <cstdlib>
#include <string>

#include <unistd.h>

int main(int argc, char** argv)
{
    std::string page(argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 0, 'x');
    return write(1, page.data(), page.size()) == static_cast<ssize_t>(page.size()) ? 0 : 1;
}
