/* The binary interface between the plugin and a runtime library: the records passed across it and
 * the nine functions every runtime library exports under these plain names. */
#ifndef VEKAI_RUNTIME_INTERFACE_H
#define VEKAI_RUNTIME_INTERFACE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes with a fixed meaning; a runtime may return any other non-zero code for its own failures. */
#define VEK_RUNTIME_OK 0
#define VEK_RUNTIME_TIMEOUT 12

/* Element type codes of a tensor entry (the ONNX numbering). */
#define VEK_RUNTIME_FLOAT32 1
#define VEK_RUNTIME_UINT8 2
#define VEK_RUNTIME_INT8 3
#define VEK_RUNTIME_UINT16 4
#define VEK_RUNTIME_INT16 5
#define VEK_RUNTIME_INT32 6
#define VEK_RUNTIME_INT64 7
#define VEK_RUNTIME_BOOL 9
#define VEK_RUNTIME_FLOAT16 10
#define VEK_RUNTIME_DOUBLE 11
#define VEK_RUNTIME_UINT32 12
#define VEK_RUNTIME_UINT64 13

/* One tensor of a set; 40 bytes. Every pointer is its own malloc/strdup allocation. */
typedef struct VekRuntimeTensor {
    char* name;
    int32_t type;
    int32_t rank;
    int32_t* shape;
    uint64_t size; /* bytes of data */
    void* data;
} VekRuntimeTensor;

/* A set of tensors; the set itself is a malloc allocation too. `id` names the request. */
typedef struct VekRuntimeTensors {
    int32_t id;
    int32_t count;
    VekRuntimeTensor* tensors;
} VekRuntimeTensors;

/* Named runtime arguments, valid only during runtime_init. */
typedef struct Config {
    int32_t count;
    const char* const* keys;
    const char* const* values;
} Config;

/* One model to load; index i of the array passed to runtime_load_models is model i. */
typedef struct ModelConfig {
    const char* path;
    unsigned char reserved[40]; /* always zero */
} ModelConfig;

int runtime_init(Config config);
int runtime_load_models(int count, ModelConfig* models);
/* On success the runtime owns `input` and frees it; on failure the caller keeps it. */
int runtime_enqueue_input(int model, VekRuntimeTensors* input);
/* VEK_RUNTIME_OK: `*output` is the caller's, its id echoes the request; VEK_RUNTIME_TIMEOUT: nothing arrived.
 */
int runtime_retrieve_output(int* model, VekRuntimeTensors** output, int timeout_ms);
int runtime_cleanup(void);
const char* runtime_get_error(void);
const char* runtime_get_version(void);
const char* runtime_get_name(void);
const char* runtime_get_info(void);

#ifdef __cplusplus
}
#endif

#endif
