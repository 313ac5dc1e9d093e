#include "sys/slotreport.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "lib/fd.h"
#include "lib/fullio.h"
#include "lib/if_blank.h"

void printstatushdr(const char* base)
{
    if (base == nullptr) {
        std::printf("ERROR - Status Database Report - NULL File Name\n");
        return;
    }
    std::string path = std::string(base) + ".bm";
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        int e = errno;
        std::printf("ERROR - Cannot open status database file (%s)\n", path.c_str());
        std::fflush(stdout);
        errno = e;
        std::perror("Status Database File Error");
        return;
    }
    StatusBitmapHeader h;
    if (read_full(fd.get(), &h, sizeof h) != FULLIO_OK) {
        int e = errno;
        std::printf("ERROR - Cannot read status database file (%s)\n", path.c_str());
        std::fflush(stdout);
        errno = e;
        std::perror("Status Database Read Error");
        return;
    }
    auto verdict = [](bool good) { return good ? " (GOOD VALUE!)\n" : " (BAD VALUE!)\n"; };
    std::printf("  Magic:    %8x%s", h.magic, verdict(h.magic == STATUS_BM_MAGIC));
    std::printf("  Version:  %8x%s", static_cast<unsigned>(h.version),
                verdict(h.version == STATUS_BM_VERSION));
    std::printf("  Max Used: %8d\n", static_cast<int>(h.maxused));
    std::printf("  Next Free:%8d\n", h.nextfree);
    std::printf("  Slot Size:%8d\n", h.slotsize);
    std::printf("  Offset:   %8d\n", h.offset);
}

void printslotline(const QueueEntry* entry)
{
    const StatusSlot& r = entry->record;
    char when[32] = "";
    time_t queued = r.timequeued;
    if (const tm* t = std::localtime(&queued))
        std::strftime(when, sizeof when, "%H:%M %x", t);
    std::printf("%4d-%-5d %16.16s %24.24s %6.6s %16.16s\n", static_cast<int>(r.idmajor), r.idminor,
                when, slotfieldtext(r.sender).c_str(), slotshortname(r.state),
                slotfieldtext(r.phone).c_str());
}

void printslot(const StatusSlot* record)
{
    const StatusSlot& r = *record;
    auto format = [](std::uint32_t seconds) {
        char text[64] = "";
        time_t t = seconds;
        if (const tm* local = std::localtime(&t))
            std::strftime(text, sizeof text, "%X %x", local);
        return std::string(text);
    };
    std::printf("===================================%d-%d\n", static_cast<int>(r.idmajor),
                r.idminor);
    std::printf("  T queued:      %s\n", format(r.timequeued).c_str());
    std::printf("  T updated:     %s\n", format(r.timechanged).c_str());
    std::printf("  Sender         %s\n", slotfieldtext(r.sender).c_str());
    std::printf("  Status:        %s\n", slotstatename(r.state));
    // Each field printed at most 24 wide and never past its own width.
    auto optional = [](const char* label, const std::string& value) {
        if (!if_blank(value.c_str()))
            std::printf("%s%.24s\n", label, value.c_str());
    };
    optional("  To:            ", slotfieldtext(r.recipient));
    optional("  Company:       ", slotfieldtext(r.company));
    optional("  Subject:       ", slotfieldtext(r.subject));
    optional("  Reqst handle:  ", slotfieldtext(r.handle));
    optional("  Sender email:  ", slotfieldtext(r.sender));
    optional("  Faxline:       ", slotfieldtext(r.faxline));
    optional("  CSID:          ", slotfieldtext(r.csid));
    std::printf("  Phone Number:  %.24s\n", slotfieldtext(r.phone).c_str());
    std::printf("  Dial Number:   %.24s\n", slotfieldtext(r.dialled).c_str());
    std::printf("  Send attempts: %d\n", r.attempts);
    std::printf("  Page count:    %d/%d\n", r.pagessent, r.pagestotal);
    std::printf("  Priority:      %d\n", r.priority);
    std::printf("  Error code:    %d\n", r.errorcode);
    std::printf("  UID:           %d\n", r.owneruid);
}
