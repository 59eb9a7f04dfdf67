// Model files as the model store sends them: AES-256-GCM under a per-model key, laid out as a 12-byte
// IV, the ciphertext (as long as the plain file) and the 16-byte tag, encrypted while being sent.
#pragma once

#include <openssl/evp.h>
#include <vekcloud/body_source.h>
#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace vekcloud {

inline constexpr size_t kModelKeySize = 32;
inline constexpr size_t kModelIvSize = 12;
inline constexpr size_t kModelTagSize = 16;

using ModelKey = std::array<unsigned char, kModelKeySize>;

// From the cryptographic library's generator; none when it fails.
std::optional<ModelKey> randomModelKey();
// Standard alphabet with padding, as "X-Key" carries it.
std::string base64Encode(std::span<const unsigned char> bytes);

class EncryptedModelBody final : public BodySource {
public:
    // None when the file cannot be opened or the cipher cannot be set up.
    static std::unique_ptr<EncryptedModelBody> open(const std::filesystem::path& plainFile,
                                                    const ModelKey& key);
    uint64_t size() const override { return plain->size() + kModelIvSize + kModelTagSize; }
    bool next(std::string& piece) override;

private:
    struct ContextDeleter {
        void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
    };
    enum class Stage { iv, ciphertext, done };

    EncryptedModelBody(std::unique_ptr<FileBody> plain,
                       std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter> context,
                       const std::array<unsigned char, kModelIvSize>& iv)
        : plain(std::move(plain)), context(std::move(context)), iv(iv) {}
    bool finish(std::string& piece);

    std::unique_ptr<FileBody> plain;
    std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter> context;
    std::array<unsigned char, kModelIvSize> iv;
    Stage stage = Stage::iv;
    std::string plainPiece;
};

}  // namespace vekcloud
