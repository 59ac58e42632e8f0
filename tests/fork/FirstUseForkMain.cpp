// fork() aimed at the library's first use. In each trial, a fresh process that has not touched
// the library starts two threads whose first calls build its singletons, and its main thread
// forks in a loop meanwhile, from a little later in each trial; each child makes one Alloc and
// Free on its only thread. A child that finds a singleton half built waits for it for good, so a
// child that misses its deadline fails the run. Exits 0 when every child returned.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "IQXMemory.h"
#include "common/MemoryChecker.h"

// A child of a fork inherits its parent's threads as threads that ended without being joined;
// ThreadSanitizer would report them as leaked when the child exits.
extern "C" const char* __tsan_default_options() { return "report_thread_leaks=0"; }

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Hung = -1;

// The child's exit status, or Hung once it has missed the deadline (it is killed then).
int WaitFor(pid_t child, std::chrono::seconds deadline) {
    const Clock::time_point started = Clock::now();
    for (;;) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (Clock::now() - started > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return Hung;
        }
        usleep(100);
    }
}

int UseOnce() {
    IQXMemory* memory = GetIQXMemory();
    void* block = memory->Alloc(24);
    memory->Free(block);
    return block ? 0 : 2;
}

// One trial in a process of its own: the number of children that failed or hung.
int Trial(unsigned delay, int forks) {
    std::atomic<bool> go{false};
    auto firstUse = [&go] {
        while (!go.load(std::memory_order_acquire)) {
        }
        UseOnce();
    };
    std::thread first(firstUse), second(firstUse);
    go.store(true, std::memory_order_release);
    for (volatile unsigned spin = 0; spin < delay; spin = spin + 1) {
    }
    int failed = 0;
    for (int f = 0; f < forks; ++f) {
        const pid_t child = fork();
        if (child == 0) _exit(UseOnce());
        failed += child < 0 || WaitFor(child, std::chrono::seconds(5)) != 0;
    }
    first.join();
    second.join();
    return failed;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(QXMEMORY_ASAN)
    // This AddressSanitizer runtime's own malloc is not fork-safe with live threads.
    std::puts("skipped under AddressSanitizer");
    return 0;
#endif
    const int trials = argc > 2 && std::strcmp(argv[1], "--trials") == 0 ? std::atoi(argv[2]) : 200;
    constexpr int Forks = 20;
    for (int trial = 0; trial < trials; ++trial) {
        const pid_t process = fork();
        // The spin before the first fork sweeps the moments a build can be in flight.
        if (process == 0) _exit(Trial(unsigned(trial * 37 % 2000), Forks));
        const int failed = process < 0 ? 1 : WaitFor(process, std::chrono::seconds(5 * Forks + 30));
        if (failed != 0) {
            std::printf("trial %d: %s\n", trial,
                        failed == Hung ? "hung" : "children failed or missed their deadline");
            return 1;
        }
    }
    std::printf("%d trials of %d forks each: every child returned\n", trials, Forks);
    return 0;
}
