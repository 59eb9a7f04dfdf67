#include "vekai_utilities/vekai_utils.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

constexpr int64_t logfile_max_size_mb = 10;
constexpr uint64_t kLogfileMaxBytes = static_cast<uint64_t>(logfile_max_size_mb) * 1000 * 1000;
constexpr mode_t kLogFileMode = 0666;
// Linux limits thread names to 15 characters plus the terminator.
constexpr size_t kMaxThreadNameLength = 15;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using LogFile = std::unique_ptr<FILE, FileCloser>;

struct MallocFree {
    void operator()(char* buffer) const { std::free(buffer); }
};
using MallocBuffer = std::unique_ptr<char, MallocFree>;

struct LoggerState {
    std::mutex log_file_mutex;

    // Guarded by log_file_mutex; an empty path means none.
    std::string _start_log_filepath;
    std::string _rotating_log_filepath;
    std::string _old_logfile_path;
    LogFile start_logfile;
    LogFile rotating_logfile;
    bool start_logfile_full = false;
    uint64_t logfile_last_size = 0;

    // Read on every line before log_file_mutex is taken, so they must be safe against a concurrent
    // (re)initialisation or finalisation. The prefix is shared so that a console write in flight keeps
    // its copy; its own small lock is held only to copy the pointer.
    std::mutex prefix_mutex;
    std::shared_ptr<const std::string> _log_prefix;
    std::atomic<int64_t> last_timestamp{0};
    std::atomic<bool> _log_to_console{false};
    std::atomic<bool> _log_to_file{true};
    std::atomic<int> _log_verbosity_level{1};
    std::atomic<bool> log_mutex_initialized{false};
};

LoggerState& logger() {
    // Never destroyed: components may still log from their own static destructors at exit. Nor freed
    // when the host unloads the library, which the leak checker of sanitizer builds is told.
    static LoggerState* const state = [] {
        auto* created = new LoggerState;
#if defined(__SANITIZE_ADDRESS__)
        __lsan_ignore_object(created);
#endif
        return created;
    }();
    return *state;
}

std::shared_ptr<const std::string> currentPrefix(LoggerState& s) {
    std::lock_guard lock(s.prefix_mutex);
    return s._log_prefix;
}

void replacePrefix(LoggerState& s, std::shared_ptr<const std::string> prefix) {
    std::lock_guard lock(s.prefix_mutex);
    s._log_prefix = std::move(prefix);
}

LogFile openTruncated(const std::string& path) {
    LogFile file(std::fopen(path.c_str(), "w"));
    if (!file) {
        std::printf("Failed to initialise logfile: %s\n", path.c_str());
    }
    ::chmod(path.c_str(), kLogFileMode);
    return file;
}

// Picks the file that receives the next line, moving from the start log to the rotating log and
// rotating the latter; returns null when the line must be dropped. Called with the lock held.
FILE* chooseTargetFile(LoggerState& s) {
    if (!s.start_logfile_full) {
        if (s.logfile_last_size < kLogfileMaxBytes && s.start_logfile) {
            return s.start_logfile.get();
        }
        if (s.logfile_last_size >= kLogfileMaxBytes) {
            s.start_logfile_full = true;
            s.logfile_last_size = 0;
            s.start_logfile.reset();
        }
    }

    if (!s.rotating_logfile) {
        s.rotating_logfile.reset(std::fopen(s._rotating_log_filepath.c_str(), "a"));
        if (!s.rotating_logfile) {
            std::fputs("Error creating log file", stderr);
            return nullptr;
        }
    }
    if (s.logfile_last_size > kLogfileMaxBytes) {
        s.rotating_logfile.reset();
        std::remove(s._old_logfile_path.c_str());
        if (std::rename(s._rotating_log_filepath.c_str(), s._old_logfile_path.c_str()) != 0) {
            const int error = errno;
            std::fprintf(stderr, "Error renaming file: %s\n", std::strerror(error));
            return nullptr;
        }
        s.rotating_logfile.reset(std::fopen(s._rotating_log_filepath.c_str(), "w"));
        if (!s.rotating_logfile) {
            std::fputs("Error creating log file", stderr);
            return nullptr;
        }
        s.logfile_last_size = 0;
    }
    return s.rotating_logfile.get();
}

void vekai_vvlog(const char* format, va_list args) {
    LoggerState& s = logger();
    const int level = s._log_verbosity_level.load(std::memory_order_relaxed);
    const bool to_console = s._log_to_console.load(std::memory_order_relaxed);
    const bool to_file = s._log_to_file.load(std::memory_order_relaxed);
    if (level <= 0 || (!to_file && !to_console)) {
        return;
    }

    const int64_t now_us = vekai_current_timestamp_us();
    const int64_t previous_us = s.last_timestamp.exchange(now_us);
    // A clock stepped backwards must not print a wrapped-around delta.
    const unsigned long delta_us =
        (previous_us == 0 || now_us < previous_us) ? 0UL : static_cast<unsigned long>(now_us - previous_us);
    const unsigned long now_ms = static_cast<unsigned long>(now_us / 1000);
    const std::shared_ptr<const std::string> prefix = currentPrefix(s);
    const char* prefix_text = prefix ? prefix->c_str() : "";

    if (to_console) {
        va_list console_args;
        va_copy(console_args, args);
        std::printf("%s%lu %09lu: ", prefix_text, now_ms, delta_us);
        std::vprintf(format, console_args);
        va_end(console_args);
    }

    if (!to_file || !s.log_mutex_initialized.load()) {
        return;
    }
    std::lock_guard lock(s.log_file_mutex);
    if (s._start_log_filepath.empty() || s._rotating_log_filepath.empty() || !s._log_to_file.load()) {
        return;
    }
    FILE* target = chooseTargetFile(s);
    if (!target) {
        return;
    }

    const int header_chars = std::fprintf(target, "%s%lu %09lu: ", prefix_text, now_ms, delta_us);
    const int message_chars = std::vfprintf(target, format, args);
    if (header_chars > 0) {
        s.logfile_last_size += static_cast<uint64_t>(header_chars);
    }
    if (message_chars > 0) {
        s.logfile_last_size += static_cast<uint64_t>(message_chars);
    }
    if (header_chars < 0 || message_chars < 0) {
        std::puts("Failed to write to log file!");
    }
    if (level >= 2) {
        std::fflush(target);
        std::fflush(stdout);
    }
}

}  // namespace

void vekai_initialize_logging(const char* start_log_path, const char* rotating_log_path, const char* prefix,
                              bool log_to_console, bool log_to_file, int verbosity_level) {
    LoggerState& s = logger();
    std::lock_guard lock(s.log_file_mutex);

    s.start_logfile_full = false;
    s.logfile_last_size = 0;
    s.start_logfile.reset();
    s.rotating_logfile.reset();
    s._start_log_filepath = start_log_path ? start_log_path : "";
    s._rotating_log_filepath = rotating_log_path ? rotating_log_path : "";
    s._old_logfile_path.clear();
    replacePrefix(s, prefix ? std::make_shared<const std::string>(prefix) : nullptr);
    s._log_to_console.store(log_to_console);
    s._log_verbosity_level.store(verbosity_level);
    s._log_to_file.store(log_to_file);
    s.log_mutex_initialized.store(true);

    if (!log_to_file) {
        return;
    }
    s.start_logfile = openTruncated(s._start_log_filepath);
    s.rotating_logfile = openTruncated(s._rotating_log_filepath);
    s._old_logfile_path = s._rotating_log_filepath + ".old";
}

void vekai_finalise_logging() {
    LoggerState& s = logger();
    std::lock_guard lock(s.log_file_mutex);

    s._log_to_console.store(false);
    s._log_to_file.store(false);
    s._log_verbosity_level.store(0);
    s.start_logfile.reset();
    s.rotating_logfile.reset();
    s.start_logfile_full = true;
    s.logfile_last_size = 0;
    s.log_mutex_initialized.store(false);
    s._start_log_filepath.clear();
    s._rotating_log_filepath.clear();
    s._old_logfile_path.clear();
    replacePrefix(s, nullptr);
}

void vekai_vlog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vekai_vvlog(format, args);
    va_end(args);
}

void vekai_vlog_verbose(const char* format, ...) {
    if (logger()._log_verbosity_level.load(std::memory_order_relaxed) < 2) {
        return;
    }
    va_list args;
    va_start(args, format);
    vekai_vvlog(format, args);
    va_end(args);
}

void vekai_vlog_profiling(const char* format, ...) {
    if (logger()._log_verbosity_level.load(std::memory_order_relaxed) < 3) {
        return;
    }
    va_list args;
    va_start(args, format);
    vekai_vvlog(format, args);
    va_end(args);
}

void vekai_error_log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list stderr_args;
    va_copy(stderr_args, args);
    std::vfprintf(stderr, format, stderr_args);
    va_end(stderr_args);
    vekai_vvlog(format, args);
    va_end(args);
}

int64_t vekai_current_timestamp_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t vekai_current_timestamp_ms() {
    return vekai_current_timestamp_us() / 1000;
}

void vekai_sleep_ms(int64_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

char* vekai_sprintf(size_t initial_size, const char* format, ...) {
    // malloc(0) may legitimately return null, which would read as an allocation failure.
    const size_t first_size = initial_size > 0 ? initial_size : 1;
    MallocBuffer buffer(static_cast<char*>(std::malloc(first_size)));
    if (!buffer) {
        return nullptr;
    }

    va_list args;
    va_start(args, format);
    va_list retry_args;
    va_copy(retry_args, args);
    const int needed = std::vsnprintf(buffer.get(), first_size, format, args);
    va_end(args);

    if (needed < 0) {
        buffer.reset();
    } else if (static_cast<size_t>(needed) >= first_size) {
        const size_t grown_size = static_cast<size_t>(needed) + 1;
        buffer.reset(static_cast<char*>(std::malloc(grown_size)));
        if (buffer && std::vsnprintf(buffer.get(), grown_size, format, retry_args) < 0) {
            buffer.reset();
        }
    }
    va_end(retry_args);
    return buffer.release();
}

char* vekai_pointer_to_string(const void* pointer) {
    return vekai_sprintf(32, "%p", pointer);
}

int vekai_strcasecmp(const char* a, const char* b) {
    return ::strcasecmp(a, b);
}

int vekai_chmod(const char* path, unsigned int mode) {
    return ::chmod(path, static_cast<mode_t>(mode));
}

int vekai_chdir(const char* path) {
    return ::chdir(path);
}

int vekai_set_thread_name(pthread_t thread, const char* name) {
    // Longer names are refused by the system; a truncated name still identifies the thread.
    const std::string truncated(std::string_view(name).substr(0, kMaxThreadNameLength));
    return pthread_setname_np(thread, truncated.c_str());
}

bool vekai_get_file_size(const char* path, uint64_t* size) {
    struct stat info {};
    if (::stat(path, &info) == 0) {
        *size = static_cast<uint64_t>(info.st_size);
        return true;
    }
    const int error = errno;
    if (error == EACCES) {
        std::printf("Permission denied trying to open logfile: %s.\n", path);
    } else {
        std::printf("An unexpected error occurred accessing log file: %s %s\n", path, std::strerror(error));
    }
    return false;
}

const char* bool_to_string(bool value) {
    return value ? "true" : "false";
}

bool VekAITimer::s_enabled = false;

void VekAITimer::setEnabled(bool enabled) {
    s_enabled = enabled;
}

bool VekAITimer::isEnabled() {
    return s_enabled;
}

VekAITimer::VekAITimer(const char* name) : name(name), enabled(s_enabled) {
    if (enabled) {
        start = std::chrono::steady_clock::now();
        last = start;
    }
}

VekAITimer::~VekAITimer() {
    if (enabled) {
        report(name);
    }
}

void VekAITimer::lap(const char* label) {
    if (enabled) {
        report(label);
    }
}

void VekAITimer::report(const char* label) {
    using std::chrono::duration_cast;
    using std::chrono::nanoseconds;
    const auto now = std::chrono::steady_clock::now();
    const long long since_last_us = duration_cast<nanoseconds>(now - last).count() / 1000;
    const long long total_us = duration_cast<nanoseconds>(now - start).count() / 1000;
    vekai_vlog("[Timer] %s::%s | +%lld us | total %lld us\n", name, label, since_last_us, total_us);
    last = now;
}
