// Linked into every executable of a sanitized build, children the tests start included, so the
// sanitizers apply these however a program is run. Each entry names a prebuilt third-party library.

extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions();

extern "C" const char* __lsan_default_suppressions() {
    // ONNX Runtime does not free everything it allocates while loading and running models; the CPU
    // runtime cannot release it on its behalf.
    return "leak:libonnxruntime.so\n";
}

extern "C" const char* __tsan_default_suppressions() {
    // Neither library is built for the race detector: it sees their allocations and memory calls
    // but not the atomics that order them (ONNX Runtime's thread pool, the HTTP server's workers),
    // and reports races between accesses that are ordered.
    return "race:libonnxruntime.so\n"
           "race:libcpp-httplib.so\n";
}
