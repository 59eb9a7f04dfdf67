#include "vekai_crypto.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr size_t kBlockSize = 1024;

struct FileCloser {
    void operator()(FILE* file) const {
        if (file)
            std::fclose(file);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// Plain model weights are private to the server's account.
File openPrivateOutput(const char* path) {
    const int descriptor = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (descriptor < 0)
        return File();
    ::fchmod(descriptor, S_IRUSR | S_IWUSR);
    FILE* file = ::fdopen(descriptor, "wb");
    if (!file)
        ::close(descriptor);
    return File(file);
}

bool readAt(FILE* file, long offset, uint8_t* buffer, size_t count) {
    return std::fseek(file, offset, SEEK_SET) == 0 && std::fread(buffer, 1, count, file) == count;
}

}  // namespace

bool vekai_crypto_decrypt_file_to_file(const uint8_t* key, const char* inputPath, const char* outputPath) {
    File input(std::fopen(inputPath, "rb"));
    if (!input) {
        vekai_vlog("Error opening input file: %s\n", inputPath);
        return false;
    }
    std::error_code removeFailure;
    std::filesystem::remove(outputPath, removeFailure);
    if (removeFailure) {
        vekai_vlog("Error removing existing output file '%s': %s\n", outputPath,
                   removeFailure.message().c_str());
        return false;
    }
    File output = openPrivateOutput(outputPath);
    if (!output) {
        vekai_vlog("Error opening output file: %s\n", outputPath);
        return false;
    }

    std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> context;
    const auto fail = [&]() {
        context.reset();
        ERR_print_errors_fp(stderr);
        input.reset();
        output.reset();
        std::filesystem::remove(outputPath, removeFailure);
        return false;
    };

    if (!key) {
        vekai_vlog("Error! No decryption key for '%s'\n", inputPath);
        return fail();
    }
    std::fseek(input.get(), 0, SEEK_END);
    const long length = std::ftell(input.get());
    if (length < static_cast<long>(kVekaiIvLength + kVekaiTagLength)) {
        vekai_vlog("Input file invalid or too small: %s\n", inputPath);
        return fail();
    }
    uint8_t tag[kVekaiTagLength];
    uint8_t iv[kVekaiIvLength];
    if (!readAt(input.get(), length - static_cast<long>(kVekaiTagLength), tag, sizeof tag) ||
        !readAt(input.get(), 0, iv, sizeof iv)) {
        vekai_vlog("Input file invalid or too small: %s\n", inputPath);
        return fail();
    }

    context.reset(EVP_CIPHER_CTX_new());
    if (!context) {
        vekai_vlog("Failed to create cipher context for '%s'\n", inputPath);
        return fail();
    }
    if (EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1) {
        vekai_vlog("EVP_DecryptInit_ex (cipher) failed for '%s'\n", inputPath);
        return fail();
    }
    if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kVekaiIvLength, nullptr) != 1) {
        vekai_vlog("EVP_CTRL_GCM_SET_IVLEN failed for '%s'\n", inputPath);
        return fail();
    }
    if (EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key, iv) != 1) {
        vekai_vlog("EVP_DecryptInit_ex (key+IV) failed for '%s'\n", inputPath);
        return fail();
    }
    if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kVekaiTagLength, tag) != 1) {
        vekai_vlog("EVP_CTRL_GCM_SET_TAG failed for '%s'\n", inputPath);
        return fail();
    }

    size_t remaining = static_cast<size_t>(length) - kVekaiIvLength - kVekaiTagLength;
    std::fseek(input.get(), static_cast<long>(kVekaiIvLength), SEEK_SET);
    uint8_t cipherBlock[kBlockSize];
    uint8_t plainBlock[kBlockSize + EVP_MAX_BLOCK_LENGTH];
    while (remaining > 0) {
        const size_t wanted = remaining < kBlockSize ? remaining : kBlockSize;
        const size_t got = std::fread(cipherBlock, 1, wanted, input.get());
        if (got == 0)
            return fail();
        int plainLength = 0;
        if (EVP_DecryptUpdate(context.get(), plainBlock, &plainLength, cipherBlock, static_cast<int>(got)) !=
            1)
            return fail();
        if (plainLength > 0 && std::fwrite(plainBlock, 1, static_cast<size_t>(plainLength), output.get()) !=
                                   static_cast<size_t>(plainLength))
            return fail();
        remaining -= got;
    }
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(context.get(), plainBlock, &finalLength) != 1) {
        vekai_vlog("Tag verification failed for '%s' - wrong key or corrupt file\n", inputPath);
        return fail();
    }
    if (finalLength > 0 && std::fwrite(plainBlock, 1, static_cast<size_t>(finalLength), output.get()) !=
                               static_cast<size_t>(finalLength))
        return fail();
    if (std::fflush(output.get()) != 0)
        return fail();
    return true;
}

uint8_t* vekai_crypto_md5_hash_file(const char* path, size_t* outLength) {
    File input(std::fopen(path, "rb"));
    if (!input)
        return nullptr;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1)
        return nullptr;
    uint8_t buffer[64 * 1024];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, input.get())) > 0;) {
        if (EVP_DigestUpdate(context.get(), buffer, got) != 1)
            return nullptr;
    }
    if (std::ferror(input.get()))
        return nullptr;
    auto* digest = static_cast<uint8_t*>(std::malloc(EVP_MAX_MD_SIZE));
    unsigned int digestLength = 0;
    if (!digest || EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1) {
        std::free(digest);
        return nullptr;
    }
    if (outLength)
        *outLength = digestLength;
    return digest;
}

char* vekai_bytes_to_hex(const uint8_t* bytes, size_t count) {
    if (!bytes || count == 0)
        return nullptr;
    static const char digits[] = "0123456789abcdef";
    auto* text = static_cast<char*>(std::malloc(count * 2 + 1));
    if (!text)
        return nullptr;
    for (size_t i = 0; i < count; ++i) {
        text[i * 2] = digits[bytes[i] >> 4];
        text[i * 2 + 1] = digits[bytes[i] & 0x0F];
    }
    text[count * 2] = '\0';
    return text;
}

uint8_t* vekai_b64_decode(const char* text, size_t length, int* outLength) {
    if (outLength)
        *outLength = -1;
    if (!text || length == 0 || length > static_cast<size_t>(INT32_MAX) / 4 * 3)
        return nullptr;
    auto* decoded = static_cast<uint8_t*>(std::calloc(length * 3 / 4 + 1, 1));
    if (!decoded)
        return nullptr;
    const int count =
        EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(text), static_cast<int>(length));
    if (outLength)
        *outLength = count;
    if (count < 0) {
        std::free(decoded);
        return nullptr;
    }
    return decoded;
}

std::optional<std::vector<uint8_t>> vekai_decode_model_key(const std::string& headerValue) {
    int decodedLength = 0;
    std::unique_ptr<uint8_t, decltype(&std::free)> decoded(
        vekai_b64_decode(headerValue.c_str(), headerValue.size(), &decodedLength), std::free);
    if (!decoded || headerValue.size() % 4 != 0)
        return std::nullopt;
    size_t padding = 0;
    for (auto it = headerValue.rbegin(); it != headerValue.rend() && *it == '=' && padding < 2; ++it)
        ++padding;
    if (static_cast<size_t>(decodedLength) < padding ||
        static_cast<size_t>(decodedLength) - padding < kVekaiKeyLength)
        return std::nullopt;
    return std::vector<uint8_t>(decoded.get(), decoded.get() + decodedLength);
}
