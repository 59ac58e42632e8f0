/* AllocRecorder.c - an LD_PRELOAD library that records a program's heap calls as a trace.
 *
 *   LD_PRELOAD=libqxallocrecorder.so QXTRACE_FILE=/tmp/run program ...
 *
 * Each traced process writes QXTRACE_FILE.<pid> in the format of TraceFormat.h. With
 * QXTRACE_PROCESS=name only processes whose program name is name are traced (g++ itself
 * allocates little; its child cc1plus is the compiler). A child that forks without exec stops
 * recording: its heap started as a copy of the parent's, so its trace would begin mid-stream.
 *
 * Every call is forwarded to the next definition in the search order (the C library's, or a
 * preloaded allocator's). One lock orders events across threads; the recorder's own memory
 * comes from mmap so that it never calls the functions it hooks.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "TraceFormat.h"

#define EXPORT __attribute__((visibility("default")))

/* --- The real functions -------------------------------------------------------------------- */

static struct {
    void* (*malloc)(size_t);
    void* (*calloc)(size_t, size_t);
    void* (*realloc)(void*, size_t);
    void (*free)(void*);
    int (*posixMemalign)(void**, size_t, size_t);
    void* (*alignedAlloc)(size_t, size_t);
    void* (*memalign)(size_t, size_t);
    void* (*valloc)(size_t);
} real;

/* dlsym may allocate (calloc for its error buffer) before the real functions are known; those
 * few requests are served from this arena and never given back. Each block is preceded by its
 * size so that a later realloc can copy it. */
static _Alignas(16) unsigned char arena[64 * 1024];
static size_t arenaUsed;
static int resolving;

static int ArenaOwns(const void* p) {
    return (const unsigned char*)p >= arena && (const unsigned char*)p < arena + sizeof arena;
}

static void* ArenaAlloc(size_t size) {
    const size_t need = 16 + ((size + 15) & ~(size_t)15);
    if (size > sizeof arena || arenaUsed + need > sizeof arena) return NULL;
    unsigned char* block = arena + arenaUsed;
    arenaUsed += need;
    memcpy(block, &size, sizeof size);
    return block + 16;
}

static size_t ArenaSize(const void* p) {
    size_t size;
    memcpy(&size, (const unsigned char*)p - 16, sizeof size);
    return size;
}

/* Runs at load (single-threaded) or at the first hooked call, whichever comes first. */
static void Resolve(void) {
    if (real.free || resolving) return;
    resolving = 1;
    real.malloc = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
    real.calloc = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "calloc");
    real.realloc = (void* (*)(void*, size_t))dlsym(RTLD_NEXT, "realloc");
    real.posixMemalign = (int (*)(void**, size_t, size_t))dlsym(RTLD_NEXT, "posix_memalign");
    real.alignedAlloc = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "aligned_alloc");
    real.memalign = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "memalign");
    real.valloc = (void* (*)(size_t))dlsym(RTLD_NEXT, "valloc");
    real.free = (void (*)(void*))dlsym(RTLD_NEXT, "free");  // last: it marks the set complete
    resolving = 0;
}

/* --- Recording state, guarded by lock ------------------------------------------------------ */

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int recording;
static int traceFd = -1;

static unsigned char buffer[1 << 20];
static size_t bufferUsed;

/* Live blocks: open addressing with linear probing, address 0 marks an empty slot. */
typedef struct {
    uintptr_t address;
    uint32_t id;
} Slot;
static Slot* slots;
static size_t slotCapacity;  // a power of two, or 0 before the first insert
static size_t slotCount;

/* Ids of freed blocks, reused last-freed first. */
static uint32_t* freeIds;
static size_t freeIdCount;
static size_t freeIdCapacity;
static uint32_t nextId = 1;

static void* MapPages(size_t bytes) {
    void* p = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? NULL : p;
}

static void Stop(void) { recording = 0; }

static void Flush(void) {
    size_t done = 0;
    while (done < bufferUsed) {
        const ssize_t n = write(traceFd, buffer + done, bufferUsed - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Stop();  // a partial trace is still readable; a corrupt one is not worth writing
            break;
        }
        done += (size_t)n;
    }
    bufferUsed = 0;
}

static void PutVarint(uint64_t value) {
    while (value >= 0x80) {
        buffer[bufferUsed++] = (unsigned char)(value | 0x80);
        value >>= 7;
    }
    buffer[bufferUsed++] = (unsigned char)value;
}

/* An event is at most 1 + 3 * 10 bytes. */
static void Emit(int op, uint32_t id, uint64_t size, uint64_t alignment) {
    if (bufferUsed + 32 > sizeof buffer) Flush();
    buffer[bufferUsed++] = (unsigned char)op;
    PutVarint(id);
    if (op != TraceFree) PutVarint(size);
    if (op == TraceAligned) PutVarint(alignment);
}

static size_t SlotFor(uintptr_t address) {
    const uint64_t hash = (uint64_t)(address >> 4) * 0x9E3779B97F4A7C15ull;
    return (size_t)(hash >> 32) & (slotCapacity - 1);
}

static void PlaceSlot(uintptr_t address, uint32_t id) {
    size_t i = SlotFor(address);
    while (slots[i].address) i = (i + 1) & (slotCapacity - 1);
    slots[i].address = address;
    slots[i].id = id;
}

/* Keeps the table at most half full. False when no memory can be had. */
static int ReserveSlot(void) {
    if (2 * (slotCount + 1) <= slotCapacity) return 1;
    const size_t oldCapacity = slotCapacity;
    Slot* old = slots;
    const size_t capacity = oldCapacity ? 2 * oldCapacity : (size_t)1 << 16;
    Slot* fresh = (Slot*)MapPages(capacity * sizeof(Slot));
    if (!fresh) return 0;
    slots = fresh;
    slotCapacity = capacity;
    for (size_t i = 0; i < oldCapacity; ++i)
        if (old[i].address) PlaceSlot(old[i].address, old[i].id);
    if (old) munmap(old, oldCapacity * sizeof(Slot));
    return 1;
}

/* Removes address and returns its id, or 0 when it is not a block we saw. */
static uint32_t TakeSlot(uintptr_t address) {
    if (!slotCapacity) return 0;
    const size_t mask = slotCapacity - 1;
    size_t i = SlotFor(address);
    while (slots[i].address != address) {
        if (!slots[i].address) return 0;
        i = (i + 1) & mask;
    }
    const uint32_t id = slots[i].id;
    // Backward-shift deletion: pull later entries of the probe run into the hole, so that no
    // tombstones are needed and lookups stop at the first empty slot.
    size_t hole = i;
    for (size_t j = (i + 1) & mask; slots[j].address; j = (j + 1) & mask) {
        const size_t home = SlotFor(slots[j].address);
        if (((j - home) & mask) >= ((j - hole) & mask)) {
            slots[hole] = slots[j];
            hole = j;
        }
    }
    slots[hole].address = 0;
    --slotCount;
    return id;
}

static uint32_t NewId(void) { return freeIdCount ? freeIds[--freeIdCount] : nextId++; }

static void ReleaseId(uint32_t id) {
    if (freeIdCount == freeIdCapacity) {
        const size_t capacity = freeIdCapacity ? 2 * freeIdCapacity : (size_t)1 << 16;
        uint32_t* fresh = (uint32_t*)MapPages(capacity * sizeof(uint32_t));
        if (!fresh) {
            Stop();
            return;
        }
        if (freeIds) {
            memcpy(fresh, freeIds, freeIdCount * sizeof(uint32_t));
            munmap(freeIds, freeIdCapacity * sizeof(uint32_t));
        }
        freeIds = fresh;
        freeIdCapacity = capacity;
    }
    freeIds[freeIdCount++] = id;
}

/* Records a new block. Called after the real allocation returned it, so no other thread can
 * have freed it yet. Keeping id (non-zero) makes it a realloc of that block. */
static void RecordAlloc(int op, void* p, uint32_t id, uint64_t size, uint64_t alignment) {
    if (!p || !recording) return;
    pthread_mutex_lock(&lock);
    if (recording) {
        if (!ReserveSlot()) {
            Stop();
        } else {
            if (!id) id = NewId();
            PlaceSlot((uintptr_t)p, id);
            ++slotCount;
            Emit(op, id, size, alignment);
        }
    }
    pthread_mutex_unlock(&lock);
}

/* Called before the real free, so that the address cannot be handed out again (and recorded
 * by another thread) before its free is in the trace. */
static void RecordFree(void* p) {
    if (!p || !recording) return;
    pthread_mutex_lock(&lock);
    const uint32_t id = recording ? TakeSlot((uintptr_t)p) : 0;
    if (id) {
        Emit(TraceFree, id, 0, 0);
        ReleaseId(id);
    }
    pthread_mutex_unlock(&lock);
}

/* --- Start and end ------------------------------------------------------------------------- */

static void BeforeFork(void) { pthread_mutex_lock(&lock); }
static void AfterForkParent(void) { pthread_mutex_unlock(&lock); }

static void AfterForkChild(void) {
    if (recording) {
        recording = 0;
        close(traceFd);
        traceFd = -1;
    }
    pthread_mutex_unlock(&lock);
}

/* Writes n in decimal at out; returns the number of characters. */
static size_t FormatDecimal(char* out, unsigned long n) {
    char digits[24];
    size_t count = 0;
    do {
        digits[count++] = (char)('0' + n % 10);
        n /= 10;
    } while (n);
    for (size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
    return count;
}

__attribute__((constructor)) static void Start(void) {
    Resolve();
    const char* prefix = getenv("QXTRACE_FILE");
    if (!prefix || !*prefix) return;
    const char* only = getenv("QXTRACE_PROCESS");
    if (only && *only && strcmp(only, program_invocation_short_name) != 0) return;

    char path[4096];
    const size_t length = strlen(prefix);
    if (length + 32 > sizeof path) return;
    memcpy(path, prefix, length);
    path[length] = '.';
    path[length + 1 + FormatDecimal(path + length + 1, (unsigned long)getpid())] = '\0';

    traceFd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (traceFd < 0) return;
    memcpy(buffer, TRACE_MAGIC, TRACE_MAGIC_SIZE);
    bufferUsed = TRACE_MAGIC_SIZE;
    pthread_atfork(BeforeFork, AfterForkParent, AfterForkChild);
    recording = 1;
}

/* Frees made by destructors that run after this one are not recorded; a replay simply leaves
 * those blocks allocated. */
__attribute__((destructor)) static void Finish(void) {
    pthread_mutex_lock(&lock);
    if (recording) {
        Flush();
        recording = 0;
        close(traceFd);
        traceFd = -1;
    }
    pthread_mutex_unlock(&lock);
}

/* --- The hooks ----------------------------------------------------------------------------- */

EXPORT void* malloc(size_t size) {
    Resolve();
    if (!real.malloc) return ArenaAlloc(size);
    void* p = real.malloc(size);
    RecordAlloc(TraceMalloc, p, 0, size, 0);
    return p;
}

EXPORT void* calloc(size_t count, size_t size) {
    Resolve();
    if (!real.calloc) {
        size_t total;
        if (__builtin_mul_overflow(count, size, &total)) return NULL;
        return ArenaAlloc(total);  // the arena is static storage, hence already zero
    }
    void* p = real.calloc(count, size);
    RecordAlloc(TraceCalloc, p, 0, (uint64_t)count * size, 0);
    return p;
}

EXPORT void* realloc(void* old, size_t size) {
    Resolve();
    if (old && ArenaOwns(old)) {
        void* p = malloc(size);
        const size_t had = ArenaSize(old);
        if (p) memcpy(p, old, had < size ? had : size);
        return p;
    }
    if (!real.realloc) return ArenaAlloc(size);
    if (!old) {
        void* p = real.realloc(NULL, size);
        RecordAlloc(TraceMalloc, p, 0, size, 0);
        return p;
    }
    // Taken out of the table before the call: once realloc has moved the block, another thread
    // may be given the old address.
    uint32_t id = 0;
    if (recording) {
        pthread_mutex_lock(&lock);
        if (recording) id = TakeSlot((uintptr_t)old);
        pthread_mutex_unlock(&lock);
    }
    void* p = real.realloc(old, size);
    if (p) {
        RecordAlloc(id ? TraceRealloc : TraceMalloc, p, id, size, 0);
    } else if (id) {
        pthread_mutex_lock(&lock);
        if (recording && size == 0) {  // freed the block
            Emit(TraceFree, id, 0, 0);
            ReleaseId(id);
        } else if (recording && ReserveSlot()) {  // failed: the old block is still live
            PlaceSlot((uintptr_t)old, id);
            ++slotCount;
        }
        pthread_mutex_unlock(&lock);
    }
    return p;
}

EXPORT void free(void* p) {
    if (!p || ArenaOwns(p)) return;
    Resolve();
    if (!real.free) return;  // cannot happen: only the arena hands out blocks that early
    RecordFree(p);
    real.free(p);
}

EXPORT int posix_memalign(void** out, size_t alignment, size_t size) {
    Resolve();
    const int result = real.posixMemalign(out, alignment, size);
    if (result == 0) RecordAlloc(TraceAligned, *out, 0, size, alignment);
    return result;
}

EXPORT void* aligned_alloc(size_t alignment, size_t size) {
    Resolve();
    void* p = real.alignedAlloc(alignment, size);
    RecordAlloc(TraceAligned, p, 0, size, alignment);
    return p;
}

EXPORT void* memalign(size_t alignment, size_t size) {
    Resolve();
    void* p = real.memalign(alignment, size);
    RecordAlloc(TraceAligned, p, 0, size, alignment);
    return p;
}

EXPORT void* valloc(size_t size) {
    Resolve();
    void* p = real.valloc(size);
    RecordAlloc(TraceAligned, p, 0, size, (uint64_t)sysconf(_SC_PAGESIZE));
    return p;
}
