/* A runtime library that lacks runtime_get_error, for the loader's fallback when a function is missing. */
#include "vekai_runtime_interface.h"

int runtime_init(Config config) {
    (void)config;
    return 9;
}
int runtime_load_models(int count, ModelConfig* models) {
    (void)count;
    (void)models;
    return 9;
}
int runtime_enqueue_input(int model, VekRuntimeTensors* input) {
    (void)model;
    (void)input;
    return 9;
}
int runtime_retrieve_output(int* model, VekRuntimeTensors** output, int timeout_ms) {
    (void)model;
    (void)output;
    (void)timeout_ms;
    return 9;
}
int runtime_cleanup(void) {
    return 0;
}
const char* runtime_get_version(void) {
    return "0";
}
const char* runtime_get_name(void) {
    return "Partial";
}
const char* runtime_get_info(void) {
    return "";
}
