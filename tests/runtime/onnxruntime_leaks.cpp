// ONNX Runtime keeps a few bytes of process-wide state that it never frees (its environment's log
// identifier among them); leak checks of the runtime tests judge our code, not that.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libonnxruntime.so.1\n";
}
