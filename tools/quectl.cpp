// quectl: a stand-in for the fax server's queue tool, built on the status
// database's modules (slotmgmt, slotquery, slotrequest, slotreport) and
// working on the database of the loaded configuration.  It suspends,
// activates and deletes requests, queues request files, generates
// synthetic queues for tests, benchmarks and the demo, and prints the
// database's reports.  A request operation prints nothing when it
// succeeds and one line with the reason when it fails (exit 1); a usage
// error exits 2.  Like the other stand-ins, it records each command line
// in $STANDIN_LOG (one line: "quectl", then each argument in brackets).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "lib/btree.h"
#include "lib/config.h"
#include "lib/createfile.h"
#include "lib/fullio.h"
#include "lib/log.h"
#include "sys/slotmgmt.h"
#include "sys/slotquery.h"
#include "sys/slotreport.h"
#include "sys/slotrequest.h"

namespace {

constexpr const char* kUsage =
    "usage: quectl -s|-a|-d -n SLOT | -q [-v] FILE... | -g COUNT [-u UID] [-e SENDER] [-c]"
    " | -F COUNT [-v] | -H | -l | -p SLOT\n";

struct Options {
    char action = 0;
    int slot = -1;
    long count = -1;
    const char* sender = nullptr;
    int uid = 0;
    bool controlfiles = false;
    bool verbose = false;
};

void record(int argc, char** argv)
{
    const char* log = std::getenv("STANDIN_LOG");
    if (log == nullptr || *log == '\0')
        return;
    std::string line = "quectl";
    for (int i = 1; i < argc; ++i)
        line += std::string(" [") + argv[i] + "]";
    line += '\n';
    if (FILE* file = std::fopen(log, "a")) {
        std::fputs(line.c_str(), file);
        std::fclose(file);
    }
}

[[noreturn]] void usage()
{
    std::fputs(kUsage, stderr);
    std::exit(2);
}

[[gnu::format(printf, 1, 0)]] int fail(const char* format, long a, long b = 0)
{
    // Every caller passes a literal, which the attribute checks there.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::printf(format, a, b);
#pragma GCC diagnostic pop
    std::fputc('\n', stdout);
    return 1;
}

bool number(const char* text, long* value)
{
    char* end = nullptr;
    *value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0';
}

// A destination becomes a directory below destinations/.
bool safe_destination(const char* d) { return d != nullptr && destinationdir(d); }

std::string requestpath(const char* destination, char kind, unsigned major, unsigned minor)
{
    const char* spool = get_config("spool-directory");
    char path[4096];
    std::snprintf(path, sizeof path, "%s/destinations/%s/%cf%d-%d", spool ? spool : ".",
                  destination, kind, static_cast<int>(major), static_cast<int>(minor));
    return path;
}

bool writefile(const std::string& path, const std::string& bytes)
{
    int fd = createfile(path.c_str(), 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return close(fd) == 0 && ok;
}

int request_operation(const Options& o)
{
    QueueEntry entry{o.slot, {}};
    if (int r = readslot(o.slot, &entry.record); r != SLOT_OK)
        return fail("Cannot read slot %ld (%ld).", o.slot, r);
    if (entry.record.state == SLOT_EMPTY)
        return fail("Slot %ld is empty.", o.slot);
    long major = static_cast<int>(entry.record.idmajor);
    long minor = entry.record.idminor;
    int r = 0;
    if (o.action == 's') {
        switch (r = suspendrequest(&entry)) {
        case SUSPEND_OK:
            return 0;
        case SUSPEND_NOFILE:
            return fail("Request %ld-%ld has no request file.", major, minor);
        case SUSPEND_ALREADY:
            return fail("Request %ld-%ld is already suspended.", major, minor);
        case SUSPEND_NOTOPEN:
            return fail("Cannot open the control file of request %ld-%ld.", major, minor);
        case SUSPEND_LOCKED:
            return fail("Request %ld-%ld is being sent; try again later.", major, minor);
        default:
            return fail("Cannot rename the control file of request %ld-%ld.", major, minor);
        }
    }
    if (o.action == 'a') {
        switch (r = activaterequest(&entry)) {
        case ACTIVATE_OK:
            return 0;
        case ACTIVATE_NOFILE:
            return fail("Request %ld-%ld has no request file.", major, minor);
        case ACTIVATE_QUEUED:
            return fail("Request %ld-%ld is not suspended.", major, minor);
        default:
            return fail("Cannot rename the suspended file of request %ld-%ld.", major, minor);
        }
    }
    r = deleterequest(&entry);
    if (r == DELETE_OK)
        return 0;
    if (r == DELETE_NOPATH)
        return fail("Cannot find the files of request %ld-%ld.", major, minor);
    if (r == DELETE_QUEUED)
        return fail("Request %ld-%ld is queued; suspend it first.", major, minor);
    if (r == DELETE_NOREAD)
        return fail("Cannot read the suspended file of request %ld-%ld.", major, minor);
    if (r == DELETE_NOUNLINK)
        return fail("Cannot remove the suspended file of request %ld-%ld.", major, minor);
    if (r > DELETE_CLEARSLOT)
        return fail("Cannot release slot %ld (%ld).", o.slot, r - DELETE_FREESLOT);
    return fail("Cannot clear slot %ld (%ld).", o.slot, r - DELETE_CLEARSLOT);
}

// Queues one request file: a record, and the control file that shows the
// request as queued.
int queue_file(const char* name, bool verbose)
{
    FILE* file = std::fopen(name, "re");
    if (file == nullptr) {
        std::printf("Cannot read request file %s.\n", name);
        return 1;
    }
    KeyTree keys;
    std::string bytes;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        bytes.append(buffer, n);
    std::rewind(file);
    keytree_read(keys, file);
    std::fclose(file);

    const char* id = keytree_lookup(keys, "request-id");
    unsigned major = 0;
    unsigned minor = 0;
    char tail = 0;
    if (id == nullptr || std::sscanf(id, "%u-%u%c", &major, &minor, &tail) != 2 || major == 0) {
        std::printf("Request file %s has no request-id.\n", name);
        return 1;
    }
    const char* destination = keytree_lookup(keys, "destination");
    if (!safe_destination(destination)) {
        std::printf("Request file %s has no usable destination.\n", name);
        return 1;
    }
    const char* pages = keytree_lookup(keys, "pages");
    QueueRequest request{destination, pages ? std::atoi(pages) : 0, &keys};
    addrequest(major, minor, &request);
    const char* slot = keytree_lookup(keys, "slotno");
    if (slot == nullptr) {
        std::printf("Cannot add request %u-%u to the queue.\n", major, minor);
        return 1;
    }
    if (!writefile(requestpath(destination, 'c', major, minor), bytes)) {
        std::printf("Cannot write the control file of request %u-%u.\n", major, minor);
        return 1;
    }
    if (verbose)
        std::printf("slot %s\n", slot);
    return 0;
}

std::uint32_t highest_major = 0;

void note_major(const QueueEntry* entry)
{
    if (entry->record.idmajor > highest_major)
        highest_major = entry->record.idmajor;
}

// One synthetic request, number i, spread over states, senders,
// destinations and the last three days.
StatusSlot synthetic(long i, std::uint32_t major, const Options& o, std::uint32_t now)
{
    static const char* const senders[] = {"alice@example.com", "bob@example.com",
                                          "carol@example.org", "dave@example.net"};
    static const char* const names[] = {"Ann Archer", "Ben Baker", "Cleo Carter", "Dan Dyer",
                                        "Eve Evans"};
    static const char* const companies[] = {"Acme Ltd", "Bolt & Nut", "", "Cargo Co"};
    StatusSlot r{};
    r.state = static_cast<std::uint8_t>(1 + i % 9);
    r.attempts = static_cast<std::uint8_t>(i % 4);
    r.pagestotal = static_cast<std::uint8_t>(1 + i % 9);
    r.pagessent = r.state == SLOT_SENT ? r.pagestotal : static_cast<std::uint8_t>(i % r.pagestotal);
    r.priority = static_cast<std::int16_t>(i % 3);
    r.errorclass = r.state == SLOT_FAILED ? 3 : 0;
    r.errorcode = r.state == SLOT_FAILED ? 12 : 0;
    r.idmajor = major;
    r.idminor = static_cast<std::uint16_t>(i % 10);
    r.timequeued = now - static_cast<std::uint32_t>((i * 7919) % (3 * 86400));
    r.timechanged = r.timequeued + static_cast<std::uint32_t>((i * 13) % 3600);
    if (r.timechanged > now)
        r.timechanged = now;
    r.owneruid = o.uid;
    slotfieldcopy(r.csid, sizeof r.csid, r.state == SLOT_SENT ? "+1 555 0100" : "");
    const char* line = r.state == SLOT_ACTIVE                                     ? "ttyS0"
                       : r.state == SLOT_SUSPENDED || r.state == SLOT_REACTIVATED ? "-"
                                                                                  : "";
    slotfieldcopy(r.faxline, sizeof r.faxline, line);
    slotfieldcopy(r.sender, sizeof r.sender, o.sender ? o.sender : senders[i % 4]);
    char phone[16];
    std::snprintf(phone, sizeof phone, "555%04d", static_cast<int>(i % 50));
    slotfieldcopy(r.handle, sizeof r.handle, ("h" + std::to_string(i)).c_str());
    slotfieldcopy(r.phone, sizeof r.phone, phone);
    slotfieldcopy(r.dialled, sizeof r.dialled, (std::string("9") + phone).c_str());
    slotfieldcopy(r.recipient, sizeof r.recipient, names[i % 5]);
    slotfieldcopy(r.company, sizeof r.company, companies[i % 4]);
    slotfieldcopy(r.subject, sizeof r.subject, ("Report " + std::to_string(i)).c_str());
    return r;
}

// The request file of a synthetic request: queued ones get a control file,
// suspended ones a suspended file, finished ones none.
bool synthetic_file(const StatusSlot& r)
{
    char kind = r.state == SLOT_SUSPENDED ? 's' : 'c';
    if (r.state == SLOT_SENT || r.state == SLOT_FAILED)
        return true;
    char text[512];
    std::snprintf(text, sizeof text,
                  "request-id = %d-%d\ndestination = %.24s\npages = %d\n"
                  "mailaddr = %.40s\n",
                  static_cast<int>(r.idmajor), r.idminor, r.phone, r.pagestotal, r.sender);
    std::string phone(r.phone, strnlen(r.phone, sizeof r.phone));
    return writefile(requestpath(phone.c_str(), kind, r.idmajor, r.idminor), text);
}

// The records go straight to their offsets so that their times stay spread
// (writeslot would stamp every one with now).
int generate(const Options& o)
{
    const char* base = statuspath();
    int fd = opendb(base);
    if (fd < 0)
        return fail("Cannot open the status database (%ld).", fd);
    forallslots(note_major, 0);
    std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
    for (long i = 0; i < o.count; ++i) {
        int slot = findslot(base);
        if (slot < 0)
            return fail("Cannot allocate a slot (%ld).", slot);
        StatusSlot r = synthetic(i, highest_major + 1 + static_cast<std::uint32_t>(i), o, now);
        if (pwrite(fd, &r, sizeof r, static_cast<off_t>(slot) * STATUS_SLOT_SIZE) != sizeof r)
            return fail("Cannot write slot %ld.", slot);
        if (o.controlfiles && !synthetic_file(r))
            return fail("Cannot write the request file of request %ld-%ld.",
                        static_cast<long>(r.idmajor), r.idminor);
    }
    return 0;
}

int allocate_only(const Options& o)
{
    const char* base = statuspath();
    for (long i = 0; i < o.count; ++i) {
        int slot = findslot(base);
        if (slot < 0)
            return fail("Cannot allocate a slot (%ld).", slot);
        if (o.verbose)
            std::printf("slot %d\n", slot);
    }
    return 0;
}

void setaction(Options& o, char action)
{
    if (o.action != 0 && o.action != action)
        usage();
    o.action = action;
}

Options parse(int argc, char** argv)
{
    Options o;
    long value = 0;
    int c;
    opterr = 0; // the usage line says it all
    while ((c = getopt(argc, argv, "sadn:qg:u:e:cF:Hlp:v")) != -1) {
        switch (c) {
        case 's':
        case 'a':
        case 'd':
        case 'q':
        case 'H':
        case 'l':
            setaction(o, static_cast<char>(c));
            break;
        case 'g':
        case 'F':
            setaction(o, static_cast<char>(c));
            if (!number(optarg, &o.count) || o.count < 0)
                usage();
            break;
        case 'n':
        case 'p':
            if (c == 'p')
                setaction(o, 'p');
            if (!number(optarg, &value) || value < 0 || value > 0x7FFFFFFF)
                usage();
            o.slot = static_cast<int>(value);
            break;
        case 'u':
            if (!number(optarg, &value))
                usage();
            o.uid = static_cast<int>(value);
            break;
        case 'e':
            o.sender = optarg;
            break;
        case 'c':
            o.controlfiles = true;
            break;
        case 'v':
            o.verbose = true;
            break;
        default:
            usage();
        }
    }
    bool wants_slot = o.action == 's' || o.action == 'a' || o.action == 'd';
    if (o.action == 0 || (wants_slot && o.slot < 0) || (o.action == 'q') != (optind < argc))
        usage();
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    logsetprogram(argv[0]);
    record(argc, argv);
    fullio_catch_size_limit();
    Options o = parse(argc, argv);
    config_load_or_exit();
    switch (o.action) {
    case 's':
    case 'a':
    case 'd':
        return request_operation(o);
    case 'q': {
        int status = 0;
        for (int i = optind; i < argc; ++i)
            status |= queue_file(argv[i], o.verbose);
        return status;
    }
    case 'g':
        return generate(o);
    case 'F':
        return allocate_only(o);
    case 'H':
        printstatushdr(statuspath());
        return 0;
    case 'l': {
        int r = forallslots(printslotline, 0);
        return r < 0 ? fail("Cannot read the status database (%ld).", r) : 0;
    }
    default: {
        StatusSlot record;
        if (int r = readslot(o.slot, &record); r != SLOT_OK)
            return fail("Cannot read slot %ld (%ld).", o.slot, r);
        printslot(&record);
        return 0;
    }
    }
}
