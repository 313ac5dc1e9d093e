#include "lib/mapfile.h"

#include <algorithm>
#include <csetjmp>
#include <csignal>

#include <sys/mman.h>
#include <sys/stat.h>

namespace {

// Where a SIGBUS during a scan returns to.
sigjmp_buf bus_return;
volatile sig_atomic_t bus_armed = 0;

void on_bus(int signal)
{
    if (bus_armed != 0)
        siglongjmp(bus_return, 1);
    // Not during a scan: the fault happens again, with the default action.
    std::signal(signal, SIG_DFL);
}

} // namespace

off_t map_size(int fd)
{
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size;
}

MapScan map_scan(int fd, off_t offset, std::size_t most,
                 const std::function<bool(const char* bytes, std::size_t size)>& use)
{
    off_t size = map_size(fd);
    if (size <= offset || most == 0)
        return MapScan::unmapped;
    // Not changed after the jump point, so the jump leaves it as it was.
    const std::size_t length = std::min(most, static_cast<std::size_t>(size - offset));
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, offset);
    if (map == MAP_FAILED)
        return MapScan::unmapped;
    ::madvise(map, length, MADV_SEQUENTIAL);
    struct sigaction catcher {
    }, old{};
    catcher.sa_handler = on_bus;
    sigemptyset(&catcher.sa_mask);
    ::sigaction(SIGBUS, &catcher, &old);
    volatile MapScan result = MapScan::cut;
    if (sigsetjmp(bus_return, 1) == 0) {
        bus_armed = 1;
        result = use(static_cast<const char*>(map), length) ? MapScan::done : MapScan::refused;
    }
    bus_armed = 0;
    ::sigaction(SIGBUS, &old, nullptr);
    ::munmap(map, length);
    return result;
}
