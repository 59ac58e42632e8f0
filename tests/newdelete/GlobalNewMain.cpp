// Runs the checks of GlobalNewChecks.cpp, printing each failure. On Windows also built with the
// checks compiled for the Microsoft ABI (QXMEMORY_MSVC_CHECKS): this program then supplies what
// the stand-in <new> of tests/msvc/std declares, under the names Microsoft's runtime exports.
#include <cstdio>

extern "C" int RunGlobalNewChecks(void (*reportFailure)(const char* failure));

#if defined(QXMEMORY_MSVC_CHECKS)
typedef void (*NewHandler)();
static NewHandler newHandler;

extern "C" {
NewHandler MsvcSetNewHandler(NewHandler) __asm__("\"?set_new_handler@std@@YAP6AXXZP6AXXZ@Z\"");
NewHandler MsvcGetNewHandler() __asm__("\"?get_new_handler@std@@YAP6AXXZXZ\"");
extern const char msvcNothrow __asm__("\"?nothrow@std@@3Unothrow_t@1@B\"");

NewHandler MsvcSetNewHandler(NewHandler handler) {
    const NewHandler previous = newHandler;
    newHandler = handler;
    return previous;
}
NewHandler MsvcGetNewHandler() { return newHandler; }
const char msvcNothrow = 0;
}
#endif

int main() {
    const int failed = RunGlobalNewChecks(
        [](const char* failure) { std::printf("global new: failed: %s\n", failure); });
    std::printf("global new: %d checks failed\n", failed);
    return failed ? 1 : 0;
}
