// A process whose malloc is the malloc front (run with LD_PRELOAD): glibc's contract for every
// function the front replaces, blocks the library did not hand out, threads, fork and exit.
// Prints each broken promise and exits non-zero if there was one.
#include <errno.h>
#include <malloc.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

extern "C" void* __libc_malloc(size_t size);

namespace {

int failures = 0;

void Expect(bool ok, const char* what) {
    if (ok) return;
    ++failures;
    fprintf(stderr, "broken: %s\n", what);
}

// Hides a value from the compiler, which would otherwise refuse the deliberate misuses below.
template <typename T>
T Opaque(T value) {
    asm volatile("" : "+r"(value));
    return value;
}

bool Aligned(const void* p, size_t alignment) { return uintptr_t(p) % alignment == 0; }

// The library writes a header word in front of each block: kind 1 for a heap block, 2 to 9 for
// a small element. In front of a glibc block lie the high bits of its size: kind 0.
bool FromLibrary(const void* p) {
    uint32_t word;
    memcpy(&word, static_cast<const char*>(p) - 4, sizeof word);
    return (word >> 28) >= 1 && (word >> 28) <= 9;
}

void MallocAndFree() {
    for (size_t size : {0, 1, 24, 100, 511, 512, 4096, 100000, 1 << 20}) {
        char* p = static_cast<char*>(malloc(size));
        Expect(p && Aligned(p, 16) && FromLibrary(p), "malloc: a 16-aligned block of the library");
        const size_t usable = malloc_usable_size(p);
        Expect(usable >= size && usable < size + 64 + size / 8, "malloc_usable_size: exact");
        memset(p, 0xA5, usable);  // every usable byte is the caller's
        free(p);
    }
    free(nullptr);
    errno = 0;
    Expect(!malloc(Opaque(SIZE_MAX)) && errno == ENOMEM, "malloc(SIZE_MAX): null and ENOMEM");
    // Past the interface's 32-bit sizes the C library serves, and free tells it apart.
    const size_t huge = (size_t(9) << 29);  // 4.5 GiB, never touched
    void* big = malloc(huge);
    Expect(big && Aligned(big, 16) && malloc_usable_size(big) >= huge, "malloc(4.5 GiB)");
    free(big);
}

void CallocAndRealloc() {
    void* dirty = malloc(300);
    memset(dirty, 0xFF, 300);
    free(dirty);
    unsigned char* clean = static_cast<unsigned char*>(calloc(3, 100));  // the same slot again
    bool zero = clean != nullptr;
    for (int i = 0; zero && i < 300; ++i) zero = clean[i] == 0;
    Expect(zero, "calloc: zeroed");
    free(clean);
    errno = 0;
    Expect(!calloc(Opaque(SIZE_MAX / 2), 3) && errno == ENOMEM, "calloc: overflow is ENOMEM");

    char* p = static_cast<char*>(realloc(nullptr, 40));
    Expect(p != nullptr, "realloc(null, n) allocates");
    memcpy(p, "0123456789", 10);
    p = static_cast<char*>(realloc(p, 100000));
    Expect(p && memcmp(p, "0123456789", 10) == 0, "realloc: grows and keeps the bytes");
    char* same = static_cast<char*>(realloc(p, 99000));
    Expect(same == p, "realloc: shrinks a little in place");
    p = static_cast<char*>(realloc(Opaque(same), 20));
    Expect(p && memcmp(p, "0123456789", 10) == 0 && malloc_usable_size(p) < 1000,
           "realloc: shrinks a lot into a smaller block");
    errno = 0;
    Expect(!reallocarray(Opaque(p), Opaque(SIZE_MAX / 2), 4) && errno == ENOMEM,
           "reallocarray: overflow");
    Expect(memcmp(p, "0123456789", 10) == 0, "reallocarray: the block is left whole");
    Expect(realloc(p, 0) == nullptr, "realloc(p, 0) frees and returns null");
}

void AlignedFunctions() {
    for (size_t alignment : {32, 64, 4096, 1 << 16}) {
        void* p = memalign(alignment, 100);
        Expect(p && Aligned(p, alignment) && FromLibrary(p), "memalign");
        free(p);
    }
    void* odd = memalign(48, 10);  // rounded up to 64, as glibc does
    Expect(odd && Aligned(odd, 64), "memalign: not a power of two");
    free(odd);
    void* out = &out;
    Expect(posix_memalign(&out, 24, 10) == EINVAL && out == &out, "posix_memalign: 24 is EINVAL");
    Expect(posix_memalign(&out, 4, 10) == EINVAL, "posix_memalign: below a pointer is EINVAL");
    Expect(posix_memalign(&out, 256, 10) == 0 && Aligned(out, 256), "posix_memalign(256)");
    free(out);
    errno = 0;
    Expect(!aligned_alloc(3, 12) && errno == EINVAL, "aligned_alloc: 3 is EINVAL");
    void* a = aligned_alloc(1024, 2048);
    Expect(a && Aligned(a, 1024), "aligned_alloc(1024)");
    free(a);
    void* page = valloc(10);
    void* whole = pvalloc(1);
    Expect(page && Aligned(page, 4096), "valloc");
    Expect(whole && Aligned(whole, 4096) && malloc_usable_size(whole) >= 4096, "pvalloc");
    free(page);
    free(whole);
    // Beyond the interface's largest alignment the C library serves.
    void* far = memalign(size_t(1) << 29, 100);
    Expect(far && Aligned(far, size_t(1) << 29) && !FromLibrary(far), "memalign(512 MiB)");
    free(far);
}

void ForeignBlocks() {
    char* foreign = static_cast<char*>(__libc_malloc(100));
    memcpy(foreign, "foreign", 8);
    Expect(malloc_usable_size(foreign) >= 100, "malloc_usable_size of a foreign block");
    foreign = static_cast<char*>(realloc(foreign, 5000));
    Expect(foreign && strcmp(foreign, "foreign") == 0, "realloc of a foreign block");
    free(foreign);
}

// Threads allocate, hand blocks to each other, and free what others allocated, while the main
// thread forks children that allocate on their only thread; then some threads end unjoined.
void ThreadsAndFork() {
    constexpr int Threads = 4, Steps = 200000;
    std::atomic<void*> exchange[64] = {};
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            unsigned seed = t + 1;
            for (int i = 0; i < Steps && !stop; ++i) {
                seed = seed * 1103515245 + 12345;
                const size_t size = (seed >> 8) % (seed % 16 == 0 ? 70000 : 600);
                unsigned char* p = static_cast<unsigned char*>(malloc(size + 1));
                p[0] = p[size] = static_cast<unsigned char>(size);
                void* old = exchange[(seed >> 4) % 64].exchange(p);
                if (old) {
                    const size_t held = malloc_usable_size(old);
                    bad += held == 0;
                    free(old);
                }
            }
        });
    }
    int hung = 0;
    for (int f = 0; f < 30; ++f) {
        const pid_t child = fork();
        if (child == 0) {
            void* p = malloc(100);
            void* q = malloc(100000);
            free(p);
            free(q);
            _exit(0);
        }
        int status = -1;
        for (int wait = 0; wait < 5000 && waitpid(child, &status, WNOHANG) == 0; ++wait)
            usleep(1000);
        if (status != 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ++hung;
        }
    }
    for (std::thread& thread : threads) thread.join();
    for (std::atomic<void*>& slot : exchange) free(slot.load());
    Expect(bad == 0, "threads: blocks stay whole across threads");
    Expect(hung == 0, "fork: every child allocated and returned");
}

// Freed after main returns, and allocated from a thread that may still run at exit.
struct AtExit {
    void* kept = malloc(1000);
    ~AtExit() {
        free(kept);
        free(malloc(50));
    }
} atExit;

}  // namespace

int main() {
    MallocAndFree();
    CallocAndRealloc();
    AlignedFunctions();
    ForeignBlocks();
    ThreadsAndFork();
    std::thread([] {
        for (;;) free(malloc(64));
    }).detach();
    atexit([] { free(malloc(200)); });
    if (failures == 0) printf("every promise kept\n");
    return failures == 0 ? 0 : 1;
}
