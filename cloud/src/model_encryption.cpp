#include "vekcloud/model_encryption.h"

#include <openssl/rand.h>

#include <optional>

namespace vekcloud {

std::optional<ModelKey> randomModelKey() {
    ModelKey key;
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
        return std::nullopt;
    }
    return key;
}

std::string base64Encode(std::span<const unsigned char> bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                        static_cast<int>(bytes.size()));
    text.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return text;
}

std::unique_ptr<EncryptedModelBody> EncryptedModelBody::open(const std::filesystem::path& plainFile,
                                                             const ModelKey& key) {
    auto plain = FileBody::open(plainFile);
    std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter> context(EVP_CIPHER_CTX_new());
    std::array<unsigned char, kModelIvSize> iv;
    // A fresh IV for every download: the same key never encrypts twice under one IV.
    if (!plain || !context || RAND_bytes(iv.data(), static_cast<int>(iv.size())) != 1 ||
        EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(iv.size()), nullptr) !=
            1 ||
        EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key.data(), iv.data()) != 1) {
        return nullptr;
    }
    return std::unique_ptr<EncryptedModelBody>(
        new EncryptedModelBody(std::move(plain), std::move(context), iv));
}

bool EncryptedModelBody::next(std::string& piece) {
    switch (stage) {
        case Stage::iv:
            piece.assign(reinterpret_cast<const char*>(iv.data()), iv.size());
            stage = Stage::ciphertext;
            return true;
        case Stage::ciphertext: {
            if (!plain->next(plainPiece)) {
                return false;
            }
            if (plainPiece.empty()) {
                return finish(piece);
            }
            piece.resize(plainPiece.size());
            int written = 0;
            if (EVP_EncryptUpdate(context.get(), reinterpret_cast<unsigned char*>(piece.data()), &written,
                                  reinterpret_cast<const unsigned char*>(plainPiece.data()),
                                  static_cast<int>(plainPiece.size())) != 1) {
                return false;
            }
            piece.resize(static_cast<size_t>(written));
            return true;
        }
        case Stage::done:
            piece.clear();
            return true;
    }
    return false;
}

bool EncryptedModelBody::finish(std::string& piece) {
    // GCM is a stream mode: finishing yields no further ciphertext, only the tag.
    unsigned char rest[EVP_MAX_BLOCK_LENGTH];
    int written = 0;
    piece.assign(kModelTagSize, '\0');
    if (EVP_EncryptFinal_ex(context.get(), rest, &written) != 1 || written != 0 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kModelTagSize),
                            piece.data()) != 1) {
        return false;
    }
    stage = Stage::done;
    return true;
}

}  // namespace vekcloud
