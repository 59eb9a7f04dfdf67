// A library without the plugin entry point, for the host's error path.
extern "C" const char* vekSdkVersion() {
    return "no entry";
}
