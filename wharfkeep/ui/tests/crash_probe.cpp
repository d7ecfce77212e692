// A program that installs the crash handler and then faults as its argument says; the crash
// tests run it in a child process.

#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/app_paths.h"
#include "platform/crash_handler.h"

namespace {

// An unmapped address that is not null, so that the fault is a real one even where a
// sanitizer checks for null pointers first.
int* const kUnmapped = reinterpret_cast<int*>(0x10);

[[gnu::noinline]] void WriteThrough(int* target) {
    asm volatile("" : "+r"(target));  // the compiler cannot prove the pointer null
    *target = 1;
}

[[gnu::noinline]] int DivideByZero() {
#if defined(__x86_64__)
    // An integer division the compiler cannot see through or instrument.
    int dividend = 7;
    int divisor = 0;
    asm volatile("cltd\n\tidivl %1" : "+a"(dividend) : "r"(divisor) : "edx");
    return dividend;
#else
    raise(SIGFPE);
    return 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    platform::install_crash_handler(platform::app_data_folder(), platform::program_version());
    const char* how = argv[1];
    if (std::strcmp(how, "segv") == 0) {
        WriteThrough(kUnmapped);
    } else if (std::strcmp(how, "abort") == 0) {
        std::abort();
    } else if (std::strcmp(how, "fpe") == 0) {
        return DivideByZero();
    } else if (std::strcmp(how, "thread") == 0) {
        // A fault on another thread is handled the same way.
        std::thread([] { WriteThrough(kUnmapped); }).join();
    } else if (std::strcmp(how, "none") == 0) {
        return 0;
    }
    return 3;
}
