// Model decryption (AES-256-GCM, 12-byte IV first, 16-byte tag last) and the digest, hex and
// Base64 helpers the downloads use. Results in heap buffers are owned by the caller (free()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

inline constexpr size_t kVekaiKeyLength = 32;
inline constexpr size_t kVekaiIvLength = 12;
inline constexpr size_t kVekaiTagLength = 16;

// Decrypts inputPath into outputPath (created readable by the owner only). On any failure no
// output file remains.
bool vekai_crypto_decrypt_file_to_file(const uint8_t* key, const char* inputPath, const char* outputPath);

// The 16-byte MD5 digest of the file, or null.
uint8_t* vekai_crypto_md5_hash_file(const char* path, size_t* outLength);
// Lower-case hex, two digits per byte, or null for an empty input.
char* vekai_bytes_to_hex(const uint8_t* bytes, size_t count);
// Decodes standard Base64 in blocks of four characters into three bytes each (padding counts as
// zero bytes); null when the text is not Base64. outLength receives the decoder's count.
uint8_t* vekai_b64_decode(const char* text, size_t length, int* outLength);

// The key bytes of an "X-Key" header value, or nothing when it is not Base64 or carries fewer
// than 32 key bytes.
std::optional<std::vector<uint8_t>> vekai_decode_model_key(const std::string& headerValue);
