#include <gtest/gtest.h>

#include <vektest/temp_dir.h>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "vekai_crypto.h"

namespace {

namespace fs = std::filesystem;

using vektest::TempDir;

std::vector<uint8_t> randomBytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    if (count)
        RAND_bytes(bytes.data(), static_cast<int>(count));
    return bytes;
}

// IV, ciphertext, tag: the layout the model store sends.
std::vector<uint8_t> encrypt(const std::vector<uint8_t>& plain, const std::vector<uint8_t>& key) {
    std::vector<uint8_t> out = randomBytes(kVekaiIvLength);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                            EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kVekaiIvLength, nullptr);
    EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key.data(), out.data());
    std::vector<uint8_t> cipher(plain.size() + 16);
    int length = 0;
    EVP_EncryptUpdate(context.get(), cipher.data(), &length, plain.data(), static_cast<int>(plain.size()));
    int finalLength = 0;
    EVP_EncryptFinal_ex(context.get(), cipher.data() + length, &finalLength);
    out.insert(out.end(), cipher.begin(), cipher.begin() + length + finalLength);
    uint8_t tag[kVekaiTagLength];
    EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kVekaiTagLength, tag);
    out.insert(out.end(), tag, tag + kVekaiTagLength);
    return out;
}

void writeFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ModelDecryption, RoundTripsEveryBlockBoundaryIntoAPrivateFile) {
    TempDir dir;
    const auto key = randomBytes(kVekaiKeyLength);
    for (size_t size : {0u, 1u, 1023u, 1024u, 1025u, 2048u, 100000u}) {
        const auto plain = randomBytes(size);
        writeFile(dir.path / "model.enc", encrypt(plain, key));
        const auto output = dir.path / "model.plain";
        ASSERT_TRUE(
            vekai_crypto_decrypt_file_to_file(key.data(), (dir.path / "model.enc").c_str(), output.c_str()))
            << size;
        EXPECT_EQ(readFile(output), plain) << size;
        EXPECT_EQ(fs::status(output).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
}

TEST(ModelDecryption, AnyFlippedByteOrWrongKeyLeavesNoOutput) {
    TempDir dir;
    const auto key = randomBytes(kVekaiKeyLength);
    const auto encrypted = encrypt(randomBytes(3000), key);
    const auto output = dir.path / "model.plain";
    for (size_t position : {size_t{0}, size_t{11}, size_t{12}, size_t{1500}, encrypted.size() - 17,
                            encrypted.size() - 16, encrypted.size() - 1}) {
        auto damaged = encrypted;
        damaged[position] ^= 0x40;
        writeFile(dir.path / "model.enc", damaged);
        writeFile(output, {1, 2, 3});  // a stale copy from an earlier run is not left behind either
        EXPECT_FALSE(
            vekai_crypto_decrypt_file_to_file(key.data(), (dir.path / "model.enc").c_str(), output.c_str()))
            << position;
        EXPECT_FALSE(fs::exists(output)) << position;
    }
    writeFile(dir.path / "model.enc", encrypted);
    const auto otherKey = randomBytes(kVekaiKeyLength);
    EXPECT_FALSE(
        vekai_crypto_decrypt_file_to_file(otherKey.data(), (dir.path / "model.enc").c_str(), output.c_str()));
    EXPECT_FALSE(fs::exists(output));
}

TEST(ModelDecryption, RefusesTooSmallAndMissingInputs) {
    TempDir dir;
    const auto key = randomBytes(kVekaiKeyLength);
    writeFile(dir.path / "short.enc", randomBytes(27));
    const auto output = dir.path / "out";
    EXPECT_FALSE(
        vekai_crypto_decrypt_file_to_file(key.data(), (dir.path / "short.enc").c_str(), output.c_str()));
    EXPECT_FALSE(fs::exists(output));
    EXPECT_FALSE(
        vekai_crypto_decrypt_file_to_file(key.data(), (dir.path / "absent").c_str(), output.c_str()));
    EXPECT_FALSE(
        vekai_crypto_decrypt_file_to_file(nullptr, (dir.path / "short.enc").c_str(), output.c_str()));
}

TEST(ModelKey, DecodesLikeTheBlockDecoderAndRefusesUnusableKeys) {
    const auto key = randomBytes(kVekaiKeyLength);
    std::string encoded(64, '\0');
    encoded.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                                       key.data(), static_cast<int>(key.size()))));
    ASSERT_EQ(encoded.size(), 44u);

    int length = 0;
    std::unique_ptr<uint8_t, decltype(&std::free)> raw(
        vekai_b64_decode(encoded.c_str(), encoded.size(), &length), std::free);
    ASSERT_TRUE(raw);
    EXPECT_EQ(length, 33);
    EXPECT_EQ(raw.get()[32], 0);
    const auto decoded = vekai_decode_model_key(encoded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(std::vector<uint8_t>(decoded->begin(), decoded->begin() + 32), key);

    for (const std::string& bad :
         std::vector<std::string>{"", "not base64!", encoded.substr(0, 40), encoded.substr(0, 43), "AAAA"})
        EXPECT_FALSE(vekai_decode_model_key(bad)) << bad;
}

TEST(Digests, Md5AndHexOfKnownContent) {
    TempDir dir;
    std::ofstream(dir.path / "abc") << "abc";
    size_t length = 0;
    std::unique_ptr<uint8_t, decltype(&std::free)> digest(
        vekai_crypto_md5_hash_file((dir.path / "abc").c_str(), &length), std::free);
    ASSERT_TRUE(digest);
    ASSERT_EQ(length, 16u);
    std::unique_ptr<char, decltype(&std::free)> hex(vekai_bytes_to_hex(digest.get(), length), std::free);
    EXPECT_STREQ(hex.get(), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(vekai_bytes_to_hex(digest.get(), 0), nullptr);
    EXPECT_EQ(vekai_crypto_md5_hash_file((dir.path / "absent").c_str(), &length), nullptr);
}

}  // namespace
