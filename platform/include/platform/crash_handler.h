#pragma once
// The crash handler of both programs. A fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT) on any thread is handled on an alternate stack:
//
// 1. With "usedump=1" in section [crash] of Wharfkeep.ini: a dump file
//    "Crash YYYY-MM-DD hh-mm-ss.dmp" in the application-data folder, holding a backtrace.
// 2. "Faultmail" beside the program, when it exists, is started with the report string
//    "ecs=...&code=...&pid=Wharfkeep" as its argument.
// 3. Four lines are appended to "PWTExcept.log" in the application-data folder:
//        //=====================================================
//        //==MM/DD/YY hh:mm:ss
//        Exception code: C0000005 ACCESS_VIOLATION
//        Fault address:  <address> <segment>:<offset> <module>[<version>][<date>]
// 4. With the dump switched on, "崩溃提示: 抓住了一个崩溃" goes to standard error.
// 5. The process ends with exit code 1.
//
// Signals map to the classic exception codes: SIGSEGV 0xC0000005 ACCESS_VIOLATION, SIGBUS
// 0xC0000006 IN_PAGE_ERROR, SIGILL 0xC000001D ILLEGAL_INSTRUCTION, integer SIGFPE 0xC0000094
// INT_DIVIDE_BY_ZERO, other SIGFPE 0xC0000090 FLT_INVALID_OPERATION, SIGABRT 0xC0000409 ABORT.
//
// Everything the handler needs (paths, versions, the switch) is prepared by
// install_crash_handler(), so that the handler itself only formats into fixed buffers and
// makes system calls.

#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

struct ProgramVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
    int build = 0;
};

// The program's version (the project's version, build 0): the one both programs write.
ProgramVersion program_version();

// Installs the handler for the process and an alternate signal stack for the calling thread.
// `app_folder` receives the log and the dumps; its Wharfkeep.ini is read now for the dump
// switch. The previous handlers are kept. Installing again replaces the prepared values.
void install_crash_handler(const std::filesystem::path& app_folder, ProgramVersion version);
// Puts the previous handlers back.
void uninstall_crash_handler();

struct CrashCode {
    std::uint32_t code;
    const char* name;
};
// The exception code and name of a fatal signal with its si_code.
CrashCode crash_code_for_signal(int signal_number, int signal_code);
// The name of a classic exception code (GUARD_PAGE ... STACK_OVERFLOW, ABORT); null when
// the code has none.
const char* exception_name(std::uint32_t code);
// "%d.%02d.%d.%04d".
std::string format_version(ProgramVersion version);

inline constexpr const char* kCrashLogName = "PWTExcept.log";
inline constexpr const char* kCrashReporterName = "Faultmail";

}  // namespace platform
