// slottest: what the status database's tests share.  Each case runs in a
// forked child that has loaded the sandbox's configuration (`inside`), so
// the modules' kept descriptors and read streams start fresh; the child
// prints what it saw, and the expectations name the result codes
// (`printed`).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "tests/harness.h"

namespace slottest {

// The spool directory below the sandbox.
constexpr const char* kSpool = "var/opt/vantrel";

// Runs `body` in a child with the sandbox's configuration loaded.
RunResult inside(const Sandbox& box, const std::function<void()>& body);

// What a child prints with `format`, so that expectations name the codes.
template <typename... Codes>
std::string printed(const char* format, Codes... codes)
{
    char text[256];
    // The formats are the tests' own literals.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(text, sizeof text, format, codes...);
#pragma GCC diagnostic pop
    return text;
}

// The bytes of status.bm and status.db.
std::string bm(const Sandbox& box);
std::string db(const Sandbox& box);

// A record with its times as given (writeslot would stamp now), in a
// freshly allocated slot; inside a child.  The slot number.
int put(unsigned major, unsigned minor, int state, const char* sender = "a@x",
        std::uint32_t changed = 0, const char* phone = "5551234");

} // namespace slottest
