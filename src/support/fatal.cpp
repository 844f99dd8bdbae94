#include "support/fatal.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// One write() call, so that the report cannot interleave with another thread's output.
void write_stderr(std::string_view text) noexcept {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written <= 0) return;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void fatal(std::string_view message, const std::source_location& where) noexcept {
    char name[64] = "?";
    pthread_getname_np(pthread_self(), name, sizeof name);
    long tid = ::syscall(SYS_gettid);
    try {
        std::string report = "velkora_core_rs: fatal internal failure in thread '" +
                             std::string(name) + "' (" + std::to_string(tid) + ") at " +
                             where.file_name() + ":" + std::to_string(where.line()) + ":" +
                             std::to_string(where.column()) + ": " + std::string(message) + "\n";
        write_stderr(report);
    } catch (...) {
        write_stderr("velkora_core_rs: fatal internal failure (report could not be formatted)\n");
        write_stderr(message);
        write_stderr("\n");
    }
    std::abort();
}
