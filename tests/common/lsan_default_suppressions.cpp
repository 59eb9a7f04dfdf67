// Linked into every executable of an address-sanitized build, children the tests start included, so
// the leak checker applies these however a program is run.

extern "C" const char* __lsan_default_suppressions();

extern "C" const char* __lsan_default_suppressions() {
    // ONNX Runtime, a prebuilt third-party library, does not free everything it allocates while
    // loading and running models; the CPU runtime cannot release it on its behalf.
    return "leak:libonnxruntime.so\n";
}
