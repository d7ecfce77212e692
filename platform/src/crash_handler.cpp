#include "platform/crash_handler.h"

#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <ucontext.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/ini_file.h"

namespace platform {
namespace {

constexpr std::array<int, 5> kSignals = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kPathSize = 4096;

// Prepared by install_crash_handler(); read by the handler only.
struct Prepared {
    char folder[kPathSize] = {};
    char log_path[kPathSize] = {};
    char reporter_path[kPathSize] = {};
    char program_path[kPathSize] = {};
    char version[32] = {};
    int os_major = 0;
    int os_minor = 0;
    bool use_dump = false;
};

Prepared prepared;
std::array<struct sigaction, kSignals.size()> previous{};
bool installed = false;
volatile sig_atomic_t handling = 0;
std::vector<char> alternate_stack;

void CopyText(char* out, std::size_t size, const std::string& text) {
    std::size_t length = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

void WriteAll(int fd, const char* text, std::size_t length) {
    while (length > 0) {
        ssize_t written = ::write(fd, text, length);
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

void WriteText(int fd, const char* text) {
    WriteAll(fd, text, std::strlen(text));
}

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

std::uintptr_t FaultAddress(const siginfo_t* info, const void* context) {
#if defined(__x86_64__)
    if (context != nullptr) {
        const auto* user = static_cast<const ucontext_t*>(context);
        return static_cast<std::uintptr_t>(user->uc_mcontext.gregs[REG_RIP]);
    }
#elif defined(__aarch64__)
    if (context != nullptr) {
        return static_cast<std::uintptr_t>(static_cast<const ucontext_t*>(context)->uc_mcontext.pc);
    }
#endif
    return reinterpret_cast<std::uintptr_t>(info != nullptr ? info->si_addr : nullptr);
}

// The loadable segment (counting from 1) of the module mapped at `base` that holds
// `address`, and the offset in it; 0 and the offset from the base when none does.
void FindSegment(std::uintptr_t base, std::uintptr_t address, unsigned* segment,
                 std::uintptr_t* offset) {
    *segment = 0;
    *offset = address - base;
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(base);
    if (base == 0 || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0) {
        return;
    }
    const auto* headers = reinterpret_cast<const ElfW(Phdr)*>(base + header->e_phoff);
    std::uintptr_t first_vaddr = 0;
    bool have_first = false;
    for (unsigned i = 0; i < header->e_phnum; ++i) {
        if (headers[i].p_type == PT_LOAD && !have_first) {
            first_vaddr = headers[i].p_vaddr & ~static_cast<std::uintptr_t>(0xFFF);
            have_first = true;
        }
    }
    std::uintptr_t bias = base - first_vaddr;
    std::uintptr_t relative = address - bias;
    unsigned load_index = 0;
    for (unsigned i = 0; i < header->e_phnum; ++i) {
        const ElfW(Phdr)& program = headers[i];
        if (program.p_type != PT_LOAD) {
            continue;
        }
        ++load_index;
        std::uintptr_t size =
            program.p_memsz > program.p_filesz ? program.p_memsz : program.p_filesz;
        if (relative >= program.p_vaddr && relative < program.p_vaddr + size) {
            *segment = load_index;
            *offset = relative - program.p_vaddr;
            return;
        }
    }
}

struct ModuleFacts {
    const char* path = "";
    std::uintptr_t base = 0;
    unsigned segment = 0;
    std::uintptr_t offset = 0;
    const char* version = "";
    char date[64] = {};
};

void ReadModuleFacts(std::uintptr_t address, ModuleFacts& facts) {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(address), &info) == 0 || info.dli_fname == nullptr) {
        facts.offset = address;
        return;
    }
    facts.path = info.dli_fname;
    facts.base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    FindSegment(facts.base, address, &facts.segment, &facts.offset);
    // The main program's dladdr name may be empty or its invocation name.
    if (facts.path[0] == '\0' ||
        std::strcmp(BaseName(facts.path), BaseName(prepared.program_path)) == 0) {
        facts.path = prepared.program_path;
        facts.version = prepared.version;
    }
    struct stat status {};
    struct tm when {};
    if (::stat(facts.path, &status) == 0 && ::localtime_r(&status.st_mtime, &when) != nullptr) {
        std::snprintf(facts.date, sizeof facts.date, "%d-%d-%d %d.%d", when.tm_year + 1900,
                      when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min);
    }
}

void WriteDump(const struct tm& now, int signal_number, const CrashCode& code) {
    char path[kPathSize + 64];
    int path_length = std::snprintf(path, sizeof path, "%s/Crash %02d-%02d-%02d %02d-%02d-%02d.dmp",
                                    prepared.folder, now.tm_year + 1900, now.tm_mon + 1,
                                    now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    if (path_length <= 0 || static_cast<std::size_t>(path_length) >= sizeof path) {
        return;
    }
    ::unlink(path);
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    char line[256];
    std::snprintf(line, sizeof line, "signal %d, exception code %08X %s\nbacktrace:\n",
                  signal_number, code.code, code.name);
    WriteText(fd, line);
    void* frames[128];
    int count = ::backtrace(frames, 128);
    ::backtrace_symbols_fd(frames, count, fd);
    ::close(fd);
}

void StartReporter(const char* report) {
    if (::access(prepared.reporter_path, X_OK) != 0) {
        return;
    }
    pid_t child = ::fork();
    if (child == 0) {
        char* const arguments[] = {prepared.reporter_path, const_cast<char*>(report), nullptr};
        ::execv(prepared.reporter_path, arguments);
        ::_exit(127);
    }
}

void AppendLog(const struct tm& now, const CrashCode& code, std::uintptr_t address,
               const ModuleFacts& module) {
    int fd = ::open(prepared.log_path, O_WRONLY | O_CREAT | O_APPEND | O_SYNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    char text[kPathSize + 512];
    int length = std::snprintf(
        text, sizeof text,
        "//=====================================================\r\n"
        "//==%02d/%02d/%02d %02d:%02d:%02d\r\n"
        "Exception code: %08X %s\r\n"
        "Fault address:  %08lX %02X:%08lX %s[%s][%s]\r\n",
        now.tm_mon + 1, now.tm_mday, now.tm_year % 100, now.tm_hour, now.tm_min, now.tm_sec,
        code.code, code.name, static_cast<unsigned long>(address), module.segment,
        static_cast<unsigned long>(module.offset), module.path, module.version, module.date);
    if (length > 0) {
        WriteAll(fd, text,
                 std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1));
    }
    ::close(fd);
}

// The report string is cut at 1023 characters by design.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
void OnFatalSignal(int signal_number, siginfo_t* info, void* context) {
    if (handling != 0) {
        ::_exit(1);  // a fault inside the handler itself
    }
    handling = 1;
    CrashCode code = crash_code_for_signal(signal_number, info != nullptr ? info->si_code : 0);
    std::uintptr_t address = FaultAddress(info, context);
    ModuleFacts module;
    ReadModuleFacts(address, module);
    std::time_t seconds = std::time(nullptr);
    struct tm now {};
    ::localtime_r(&seconds, &now);

    if (prepared.use_dump) {
        WriteDump(now, signal_number, code);
    }
    char report[1024];  // the report string is cut at 1023 characters
    int report_length = std::snprintf(
        report, sizeof report,
        "ecs=%s&meedb=0.00.00.00&code=%08X&name=%s&address=%08lX&base=%08lX&rva=%08lX"
        "&module=%s&ver=%s&date=%s&os=%d.%d&app=%s&pid=Wharfkeep",
        prepared.version, code.code, code.name, static_cast<unsigned long>(address),
        static_cast<unsigned long>(module.base), static_cast<unsigned long>(address - module.base),
        BaseName(module.path), module.version, module.date, prepared.os_major, prepared.os_minor,
        prepared.program_path);
    (void)report_length;
    StartReporter(report);
    AppendLog(now, code, address, module);
    if (prepared.use_dump) {
        WriteText(STDERR_FILENO, "崩溃提示: 抓住了一个崩溃\n");
    }
    ::_exit(1);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

std::string ProgramPath() {
    std::vector<char> buffer(kPathSize, '\0');
    ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length))
                      : std::string();
}

}  // namespace

CrashCode crash_code_for_signal(int signal_number, int signal_code) {
    switch (signal_number) {
        case SIGSEGV:
            return {0xC0000005u, "ACCESS_VIOLATION"};
        case SIGBUS:
            return {0xC0000006u, "IN_PAGE_ERROR"};
        case SIGILL:
            return {0xC000001Du, "ILLEGAL_INSTRUCTION"};
        case SIGFPE:
            if (signal_code == FPE_INTDIV || signal_code == FPE_INTOVF) {
                return {0xC0000094u, "INT_DIVIDE_BY_ZERO"};
            }
            return {0xC0000090u, "FLT_INVALID_OPERATION"};
        case SIGABRT:
        default:
            return {0xC0000409u, "ABORT"};
    }
}

const char* exception_name(std::uint32_t code) {
    struct Entry {
        std::uint32_t code;
        const char* name;
    };
    static constexpr Entry kNames[] = {
        {0x80000001u, "GUARD_PAGE"},
        {0x80000002u, "DATATYPE_MISALIGNMENT"},
        {0x80000003u, "BREAKPOINT"},
        {0x80000004u, "SINGLE_STEP"},
        {0xC0000005u, "ACCESS_VIOLATION"},
        {0xC0000006u, "IN_PAGE_ERROR"},
        {0xC0000008u, "INVALID_HANDLE"},
        {0xC000001Du, "ILLEGAL_INSTRUCTION"},
        {0xC0000025u, "NONCONTINUABLE_EXCEPTION"},
        {0xC0000026u, "INVALID_DISPOSITION"},
        {0xC000008Cu, "ARRAY_BOUNDS_EXCEEDED"},
        {0xC000008Du, "FLT_DENORMAL_OPERAND"},
        {0xC000008Eu, "FLT_DIVIDE_BY_ZERO"},
        {0xC000008Fu, "FLT_INEXACT_RESULT"},
        {0xC0000090u, "FLT_INVALID_OPERATION"},
        {0xC0000091u, "FLT_OVERFLOW"},
        {0xC0000092u, "FLT_STACK_CHECK"},
        {0xC0000093u, "FLT_UNDERFLOW"},
        {0xC0000094u, "INT_DIVIDE_BY_ZERO"},
        {0xC0000095u, "INT_OVERFLOW"},
        {0xC0000096u, "PRIV_INSTRUCTION"},
        {0xC00000FDu, "STACK_OVERFLOW"},
        {0xC0000409u, "ABORT"},
    };
    for (const Entry& entry : kNames) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return nullptr;
}

std::string format_version(ProgramVersion version) {
    char text[64];
    std::snprintf(text, sizeof text, "%d.%02d.%d.%04d", version.major, version.minor, version.patch,
                  version.build);
    return text;
}

ProgramVersion program_version() {
    return ProgramVersion{WK_VERSION_MAJOR, WK_VERSION_MINOR, WK_VERSION_PATCH, 0};
}

void install_crash_handler(const std::filesystem::path& app_folder, ProgramVersion version) {
    CopyText(prepared.folder, sizeof prepared.folder, app_folder.string());
    CopyText(prepared.log_path, sizeof prepared.log_path, (app_folder / kCrashLogName).string());
    std::string program = ProgramPath();
    CopyText(prepared.program_path, sizeof prepared.program_path, program);
    CopyText(prepared.reporter_path, sizeof prepared.reporter_path,
             (std::filesystem::path(program).parent_path() / kCrashReporterName).string());
    CopyText(prepared.version, sizeof prepared.version, format_version(version));
    prepared.use_dump =
        IniFile::load(app_folder / "Wharfkeep.ini").get_int("crash", "usedump", 0) == 1;
    struct utsname system {};
    if (::uname(&system) == 0) {
        std::sscanf(system.release, "%d.%d", &prepared.os_major, &prepared.os_minor);
    }
    // backtrace() loads its unwinder on first use; do that now rather than in the handler.
    void* frame[1];
    ::backtrace(frame, 1);
    // Builds the time-zone data now as well.
    ::tzset();

    if (alternate_stack.empty()) {
        alternate_stack.resize(std::max<std::size_t>(SIGSTKSZ, 64 * 1024));
    }
    stack_t stack{};
    stack.ss_sp = alternate_stack.data();
    stack.ss_size = alternate_stack.size();
    ::sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        ::sigaction(kSignals[i], &action, installed ? nullptr : &previous[i]);
    }
    installed = true;
}

void uninstall_crash_handler() {
    if (!installed) {
        return;
    }
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        ::sigaction(kSignals[i], &previous[i], nullptr);
    }
    installed = false;
}

}  // namespace platform
