#include "tests/sys/slottest.h"

#include <cstdio>
#include <ctime>
#include <string>

#include <unistd.h>

#include "lib/config.h"
#include "lib/log.h"
#include "sys/slotmgmt.h"

namespace slottest {

RunResult inside(const Sandbox& box, const std::function<void()>& body)
{
    return box.run_forked([&] {
        logsetprogram("slottest");
        config_load_or_exit();
        body();
    });
}

std::string bm(const Sandbox& box) { return box.read(std::string(kSpool) + "/status.bm"); }
std::string db(const Sandbox& box) { return box.read(std::string(kSpool) + "/status.db"); }

int put(unsigned major, unsigned minor, int state, const char* sender, std::uint32_t changed,
        const char* phone)
{
    StatusSlot r{};
    r.state = static_cast<std::uint8_t>(state);
    r.idmajor = major;
    r.idminor = static_cast<std::uint16_t>(minor);
    r.timequeued = changed ? changed : static_cast<std::uint32_t>(std::time(nullptr));
    r.timechanged = r.timequeued;
    r.owneruid = static_cast<std::int32_t>(major % 3);
    slotfieldcopy(r.sender, sizeof r.sender, sender);
    slotfieldcopy(r.handle, sizeof r.handle, ("h" + std::to_string(major)).c_str());
    slotfieldcopy(r.phone, sizeof r.phone, phone);
    int slot = findslot(statuspath());
    if (pwrite(opendb(statuspath()), &r, sizeof r, slot * 256L) != sizeof r)
        std::printf("pwrite failed\n");
    return slot;
}

} // namespace slottest
