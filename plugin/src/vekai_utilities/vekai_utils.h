// Process-wide logger with a start log and one rotating log generation, the profiling stopwatch,
// and a few small portable helpers shared by every component of the plugin.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <pthread.h>

void vekai_initialize_logging(const char* start_log_path, const char* rotating_log_path, const char* prefix,
                              bool log_to_console, bool log_to_file, int verbosity_level);
void vekai_finalise_logging();

void vekai_vlog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vekai_vlog_verbose(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vekai_vlog_profiling(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vekai_error_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

int64_t vekai_current_timestamp_us();
int64_t vekai_current_timestamp_ms();
void vekai_sleep_ms(int64_t ms);

// Returns a malloc'ed buffer the caller frees, or null when allocation or formatting fails.
char* vekai_sprintf(size_t initial_size, const char* format, ...) __attribute__((format(printf, 2, 3)));
char* vekai_pointer_to_string(const void* pointer);
int vekai_strcasecmp(const char* a, const char* b);
int vekai_chmod(const char* path, unsigned int mode);
int vekai_chdir(const char* path);
int vekai_set_thread_name(pthread_t thread, const char* name);
bool vekai_get_file_size(const char* path, uint64_t* size);
const char* bool_to_string(bool value);

class VekAITimer {
public:
    static void setEnabled(bool enabled);
    static bool isEnabled();

    // The name is borrowed, not copied: it must outlive the timer.
    explicit VekAITimer(const char* name);
    ~VekAITimer();
    VekAITimer(const VekAITimer&) = delete;
    VekAITimer& operator=(const VekAITimer&) = delete;

    void lap(const char* label);

private:
    void report(const char* label);

    static bool s_enabled;
    const char* name;
    bool enabled;
    std::chrono::steady_clock::time_point start{};
    std::chrono::steady_clock::time_point last{};
};
