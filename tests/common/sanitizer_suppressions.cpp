// Linked into every executable of a sanitized build, children the tests start included, so the
// sanitizers are set up the same however a program is run.

extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __tsan_default_options();

extern "C" const char* __lsan_default_suppressions() {
    // ONNX Runtime, a prebuilt third-party library, does not free everything it allocates while
    // loading and running models; the CPU runtime cannot release it on its behalf.
    return "leak:libonnxruntime.so\n";
}

extern "C" const char* __tsan_default_options() {
    // The plugin forks external processors' programs from a process with threads, as do the tests.
    // Prebuilt libraries (ONNX Runtime's thread pool, the HTTP server's workers) order their memory
    // accesses with atomics the race detector cannot see: their calls are left unchecked, which also
    // spares it a costly report path on every inference.
    return "die_after_fork=0:ignore_noninstrumented_modules=1";
}
