// qxreplay - replays a recorded allocation trace through QXMemory or through malloc.
//
//   qxreplay [--name NAME] [--label LABEL] qx|malloc TRACE
//
// qx serves every request from GetIQXMemory(): Alloc for malloc and calloc, AllocAligned for
// the aligned calls, Alloc + copy + Free for realloc (QXMemory has no resize). malloc calls the
// process's own malloc family: glibc's, or an allocator preloaded with LD_PRELOAD.
//
// Every byte an allocation hands out is written once, so both sides pay the same page faults.
// For QXMemory that write of zeros is a calloc's zero fill; malloc's calloc zeroes (or knows
// fresh pages are zero) on its own before it.
//
// The trace is decoded and the block table built before the clock starts, in memory mapped
// directly rather than taken from the allocator under test. Peak RSS is the resident high-water
// mark during the replay minus the resident size just before it, so the decoded trace and the
// table do not count. Blocks still live at the end stay allocated, as the program left them.
//
// Prints one line to stdout: replay <TAB> name <TAB> label <TAB> ns per event <TAB> peak KiB,
// and a description of the run to stderr.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "IQXMemory.h"
#include "TraceFormat.h"

namespace {

struct Event {
    uint64_t size;
    uint32_t id;
    uint8_t op;
    uint8_t alignLog2;  // aligned events: the alignment, a power of two
    uint16_t unused;
};
static_assert(sizeof(Event) == 16, "events pack into 16 bytes");

struct Block {
    void* address;  // null while the id names no live block
    uint64_t size;
};

struct Trace {
    Event* events = nullptr;
    uint64_t eventCount = 0;
    uint32_t maxId = 0;
    uint64_t perOp[6] = {};
    uint64_t dropped = 0;  // events inconsistent with the ones before them
};

[[noreturn]] void Fail(const char* what, const char* detail) {
    std::fprintf(stderr, "qxreplay: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    std::exit(1);
}

// Memory the allocator under test never sees, faulted in now rather than during the replay.
void* MapPopulated(uint64_t bytes) {
    if (bytes == 0) bytes = 1;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED) Fail("cannot map memory", nullptr);
    return p;
}

// Reads the varints of one event; false when the trace ends inside it.
class Reader {
public:
    Reader(const uint8_t* at, const uint8_t* end) : at_(at), end_(end) {}
    bool AtEnd() const { return at_ >= end_; }
    bool Byte(uint8_t* out) {
        if (at_ >= end_) return false;
        *out = *at_++;
        return true;
    }
    bool Varint(uint64_t* out) {
        uint64_t value = 0;
        for (unsigned shift = 0; shift < 64; shift += 7) {
            if (at_ >= end_) return false;
            const uint8_t byte = *at_++;
            value |= uint64_t(byte & 0x7F) << shift;
            if (!(byte & 0x80)) {
                *out = value;
                return true;
            }
        }
        return false;
    }

private:
    const uint8_t* at_;
    const uint8_t* end_;
};

bool ReadEvent(Reader& in, Event* event) {
    uint8_t op;
    uint64_t id, size = 0, alignment = 0;
    if (!in.Byte(&op) || op < TraceMalloc || op > TraceAligned || !in.Varint(&id)) return false;
    if (op != TraceFree && !in.Varint(&size)) return false;
    if (op == TraceAligned && !in.Varint(&alignment)) return false;
    if (id == 0 || id > 0xFFFFFFFFu) return false;
    uint8_t log2 = 0;
    while (log2 < 63 && (uint64_t(1) << log2) < alignment) ++log2;  // memalign rounds up too
    *event = Event{size, uint32_t(id), op, log2, 0};
    return true;
}

// Decodes the whole file in two passes (count, then fill) and drops events that contradict
// the ones before them, so that the replay frees only what it allocated.
Trace LoadTrace(const char* path, Block** table) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("cannot open", path);
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < TRACE_MAGIC_SIZE) Fail("not a trace", path);
    const size_t fileSize = size_t(st.st_size);
    void* mapped = mmap(nullptr, fileSize, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) Fail("cannot map", path);
    const uint8_t* bytes = static_cast<const uint8_t*>(mapped);
    if (std::memcmp(bytes, TRACE_MAGIC, TRACE_MAGIC_SIZE) != 0) Fail("not a trace", path);

    Trace trace;
    Event event;
    Reader count(bytes + TRACE_MAGIC_SIZE, bytes + fileSize);
    while (ReadEvent(count, &event)) {
        ++trace.eventCount;
        if (event.id > trace.maxId) trace.maxId = event.id;
    }
    trace.events = static_cast<Event*>(MapPopulated(trace.eventCount * sizeof(Event)));
    *table = static_cast<Block*>(MapPopulated((uint64_t(trace.maxId) + 1) * sizeof(Block)));

    // The table's address fields serve as live marks while decoding.
    Block* live = *table;
    void* const mark = &trace;
    uint64_t kept = 0;
    Reader fill(bytes + TRACE_MAGIC_SIZE, bytes + fileSize);
    while (ReadEvent(fill, &event)) {
        void*& slot = live[event.id].address;
        const bool wasLive = slot != nullptr;
        const bool valid = (event.op == TraceRealloc || event.op == TraceFree) ? wasLive : !wasLive;
        if (!valid) {
            ++trace.dropped;
            continue;
        }
        slot = event.op == TraceFree ? nullptr : mark;
        ++trace.perOp[event.op];
        trace.events[kept++] = event;
    }
    trace.eventCount = kept;
    std::memset(live, 0, (uint64_t(trace.maxId) + 1) * sizeof(Block));
    munmap(mapped, fileSize);
    return trace;
}

// --- The two allocators ------------------------------------------------------------------------

// Returned blocks are not zeroed here: the replay's write of every byte does it for calloc.
class QxHeap {
public:
    QxHeap() : memory_(GetIQXMemory()) {}
    const char* Describe() const { return "QXMemory (GetIQXMemory)"; }

    void* Alloc(uint64_t size) {
        return size > 0xFFFFFFFFu ? nullptr : memory_->Alloc(uint32_t(size));
    }
    void* Calloc(uint64_t size) { return Alloc(size); }
    void* Aligned(uint64_t size, uint64_t alignment) {
        if (size > 0xFFFFFFFFu || alignment > 0xFFFFFFFFu) return nullptr;
        return memory_->AllocAligned(uint32_t(size), uint32_t(alignment));
    }
    void* Realloc(void* old, uint64_t oldSize, uint64_t size) {
        void* fresh = Alloc(size);
        if (!fresh) return nullptr;
        std::memcpy(fresh, old, oldSize < size ? oldSize : size);
        memory_->Free(old);
        return fresh;
    }
    void Free(void* block) { memory_->Free(block); }

private:
    IQXMemory* memory_;
};

class MallocHeap {
public:
    const char* Describe() const {
        Dl_info info;
        void* symbol = dlsym(RTLD_DEFAULT, "malloc");
        return symbol && dladdr(symbol, &info) && info.dli_fname ? info.dli_fname : "unknown";
    }

    void* Alloc(uint64_t size) { return std::malloc(size); }
    void* Calloc(uint64_t size) { return std::calloc(1, size); }
    void* Aligned(uint64_t size, uint64_t alignment) {
        void* block = nullptr;
        if (alignment < sizeof(void*)) alignment = sizeof(void*);
        return posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
    }
    void* Realloc(void* old, uint64_t, uint64_t size) { return std::realloc(old, size); }
    void Free(void* block) { std::free(block); }
};

// --- Replay --------------------------------------------------------------------------------------

// Out of line, so the compiler can neither drop the writes nor fold a zero fill into calloc.
__attribute__((noinline)) void Touch(void* block, int value, uint64_t size) {
    std::memset(block, value, size);
    asm volatile("" : : "r"(block) : "memory");
}

template <class Heap>
uint64_t Replay(Heap& heap, const Trace& trace, Block* table) {
    uint64_t failed = 0;
    for (uint64_t i = 0; i < trace.eventCount; ++i) {
        const Event& event = trace.events[i];
        Block& block = table[event.id];
        void* fresh = nullptr;
        switch (event.op) {
            case TraceMalloc:
                fresh = heap.Alloc(event.size);
                if (fresh) Touch(fresh, 0x5A, event.size);
                break;
            case TraceCalloc:
                fresh = heap.Calloc(event.size);
                if (fresh) Touch(fresh, 0, event.size);
                break;
            case TraceAligned:
                fresh = heap.Aligned(event.size, uint64_t(1) << event.alignLog2);
                if (fresh) Touch(fresh, 0x5A, event.size);
                break;
            case TraceRealloc:
                if (!block.address) {  // its allocation failed: this one allocates instead
                    fresh = heap.Alloc(event.size);
                    if (fresh) Touch(fresh, 0x5A, event.size);
                    break;
                }
                fresh = heap.Realloc(block.address, block.size, event.size);
                if (!fresh) {
                    ++failed;  // the old block stays as it was
                    continue;
                }
                if (event.size > block.size)
                    Touch(static_cast<char*>(fresh) + block.size, 0x5A, event.size - block.size);
                break;
            case TraceFree:
                if (block.address) heap.Free(block.address);
                block.address = nullptr;
                continue;
        }
        if (!fresh) ++failed;
        block.address = fresh;
        block.size = event.size;
    }
    return failed;
}

// Reads a "Name:   value kB" line of /proc/self/status without touching the heap.
uint64_t StatusKiB(const char* name) {
    char text[8192];
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    const size_t length = std::strlen(name);
    for (const char* line = text; line; line = std::strchr(line, '\n')) {
        if (*line == '\n') ++line;
        if (std::strncmp(line, name, length) == 0 && line[length] == ':')
            return std::strtoull(line + length + 1, nullptr, 10);
    }
    return 0;
}

// Lowers the high-water mark to the current resident size; false where the kernel refuses.
bool ResetPeakRss() {
    const int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool done = write(fd, "5", 1) == 1;
    close(fd);
    return done;
}

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

template <class Heap>
int Run(Heap& heap, const char* name, const char* label, const Trace& trace, Block* table) {
    const char* description = heap.Describe();
    const bool reset = ResetPeakRss();
    const uint64_t before = StatusKiB("VmRSS");
    const double start = Now();
    const uint64_t failed = Replay(heap, trace, table);
    const double seconds = Now() - start;
    const uint64_t peak = StatusKiB("VmHWM");

    const uint64_t events = trace.eventCount ? trace.eventCount : 1;
    const double nsPerEvent = seconds * 1e9 / double(events);
    const uint64_t peakKiB = peak > before ? peak - before : 0;
    std::fprintf(
        stderr,
        "%s via %s: %llu events (malloc %llu, calloc %llu, realloc %llu, free %llu, "
        "aligned %llu), %llu block ids, %llu dropped, %llu failed\n"
        "  %.1f ms, %.1f ns per event; peak RSS %llu KiB = high-water mark %llu KiB "
        "during the replay minus %llu KiB resident before it%s\n",
        name, description, (unsigned long long)trace.eventCount,
        (unsigned long long)trace.perOp[TraceMalloc], (unsigned long long)trace.perOp[TraceCalloc],
        (unsigned long long)trace.perOp[TraceRealloc], (unsigned long long)trace.perOp[TraceFree],
        (unsigned long long)trace.perOp[TraceAligned], (unsigned long long)trace.maxId,
        (unsigned long long)trace.dropped, (unsigned long long)failed, seconds * 1e3, nsPerEvent,
        (unsigned long long)peakKiB, (unsigned long long)peak, (unsigned long long)before,
        reset ? "" : " (could not reset the mark: it may include loading)");
    std::printf("replay\t%s\t%s\t%.2f\t%llu\n", name, label, nsPerEvent,
                (unsigned long long)peakKiB);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = nullptr;
    const char* label = nullptr;
    int arg = 1;
    for (; arg + 1 < argc && argv[arg][0] == '-'; arg += 2) {
        if (std::strcmp(argv[arg], "--name") == 0)
            name = argv[arg + 1];
        else if (std::strcmp(argv[arg], "--label") == 0)
            label = argv[arg + 1];
        else
            break;
    }
    if (argc - arg != 2 ||
        (std::strcmp(argv[arg], "qx") != 0 && std::strcmp(argv[arg], "malloc") != 0)) {
        std::fprintf(stderr, "usage: qxreplay [--name NAME] [--label LABEL] qx|malloc TRACE\n");
        return 2;
    }
    const bool qx = std::strcmp(argv[arg], "qx") == 0;
    const char* path = argv[arg + 1];
    if (!name) {
        const char* slash = std::strrchr(path, '/');
        name = slash ? slash + 1 : path;
    }
    if (!label) label = argv[arg];

    Block* table = nullptr;
    const Trace trace = LoadTrace(path, &table);
    if (qx) {
        QxHeap heap;
        return Run(heap, name, label, trace, table);
    }
    MallocHeap heap;
    return Run(heap, name, label, trace, table);
}
