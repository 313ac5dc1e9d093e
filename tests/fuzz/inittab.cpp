// The inittab analysis and edits.  The input's first line is a device
// path, its second a fax line name (either may be empty: not given), the
// rest the inittab below a private ZEL_ROOT; a first character "=" asks
// for the exact search.  The analysis answers one of its codes, the free
// identifier is free, switching a device off leaves none of its entries
// on, and switching a line on and off again gives back the same bytes.
#include <algorithm>
#include <cstring>
#include <string>

#include "sys/itlib.h"
#include "tests/fuzz/fuzzing.h"

namespace {

std::string inittab_now()
{
    FUZZ_CHECK(readinittab() == 0);
    FUZZ_CHECK(inittabtext() != nullptr);
    return std::string(inittabtext(), static_cast<std::size_t>(inittablength()));
}

// The file and the text in memory agree after an edit.
void check_committed()
{
    std::string memory(inittabtext(), static_cast<std::size_t>(inittablength()));
    FUZZ_CHECK(inittab_now() == memory);
}

void check_freeid(const std::string& text)
{
    int id = freeinittabid();
    const std::string order = "123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string used;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        if (text.compare(start, 3, "qrt") == 0 && start + 3 < text.size())
            used += text[start + 3];
        start = end + 1;
    }
    std::size_t free = order.find_first_not_of(used);
    FUZZ_CHECK(id == (free == std::string::npos ? 0 : order[free]));
}

int analysis(const char* device, const char* line, int exact)
{
    int result = analyse_inittab(device, line, exact);
    FUZZ_CHECK(result == INITTAB_ENABLED || result == INITTAB_DISABLED || result == INITTAB_GETTY ||
               result == INITTAB_NOENTRY || result == INITTAB_MANY);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view input = fuzz_bytes(data, size);
    int exact = input.starts_with('=') ? 1 : 0;
    input.remove_prefix(static_cast<std::size_t>(exact));
    std::size_t first = input.find('\n');
    std::size_t second = first == std::string_view::npos ? first : input.find('\n', first + 1);
    std::string device(input.substr(0, first));
    std::string line(first == std::string_view::npos ? std::string_view()
                                                     : input.substr(first + 1, second - first - 1));
    std::string_view file =
        second == std::string_view::npos ? std::string_view() : input.substr(second + 1);
    device = device.substr(0, device.find('\0'));
    line = line.substr(0, line.find('\0'));
    const char* dev = device.empty() ? nullptr : device.c_str();
    const char* name = line.empty() ? nullptr : line.c_str();

    fuzz_put("etc/inittab", file);
    std::string text = inittab_now();
    FUZZ_CHECK(text == file);
    analysis(dev, name, exact);
    check_freeid(text);

    if (name != nullptr && enableinittab(name) == 0) {
        check_committed();
        // The name may have overlapped the action switched, or now be found
        // twice; found once, switching back restores the bytes.
        int back = disableinittab(name);
        FUZZ_CHECK(back == 0 || back == -1 || back == -2);
        if (back == 0)
            FUZZ_CHECK(inittab_now() == text);
        fuzz_put("etc/inittab", file);
        inittab_now();
    }
    if (dev != nullptr) {
        int result = disabledevice(dev, exact);
        FUZZ_CHECK(result == 0 || result == 1 || result == -1);
        if (result == 0) {
            check_committed();
            std::string off = inittab_now();
            FUZZ_CHECK(std::count(off.begin(), off.end(), '\n') ==
                       std::count(text.begin(), text.end(), '\n'));
            int after = analysis(dev, nullptr, exact);
            FUZZ_CHECK(after != INITTAB_ENABLED && after != INITTAB_GETTY);
            // An entry whose action field runs to the line's end loses it
            // whole, the device with it: then none is left to find.
            int again = disabledevice(dev, exact);
            FUZZ_CHECK(again == 1 || again == -1);
        }
    }
    return 0;
}
