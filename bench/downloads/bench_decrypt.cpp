// Model decryption throughput against OpenSSL's own AES-256-GCM speed measured in the same run.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "vekai_crypto.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kModelBytes = 100u * 1000u * 1000u;

struct EncryptedModel {
    EncryptedModel() {
        path = fs::temp_directory_path() / ("vek-bench-model-" + std::to_string(getpid()) + ".enc");
        output = path.string() + ".plain";
        key.resize(kVekaiKeyLength);
        RAND_bytes(key.data(), static_cast<int>(key.size()));
        std::vector<uint8_t> plain(kModelBytes);
        RAND_bytes(plain.data(), static_cast<int>(plain.size()));
        uint8_t iv[kVekaiIvLength];
        RAND_bytes(iv, sizeof iv);
        std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                                EVP_CIPHER_CTX_free);
        EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), iv);
        std::vector<uint8_t> cipher(plain.size());
        int length = 0;
        EVP_EncryptUpdate(context.get(), cipher.data(), &length, plain.data(),
                          static_cast<int>(plain.size()));
        EVP_EncryptFinal_ex(context.get(), cipher.data() + length, &length);
        uint8_t tag[kVekaiTagLength];
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, sizeof tag, tag);
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(iv), sizeof iv);
        file.write(reinterpret_cast<const char*>(cipher.data()), static_cast<std::streamsize>(cipher.size()));
        file.write(reinterpret_cast<const char*>(tag), sizeof tag);
    }
    ~EncryptedModel() {
        fs::remove(path);
        fs::remove(output);
    }
    fs::path path;
    std::string output;
    std::vector<uint8_t> key;
};

EncryptedModel& model() {
    static EncryptedModel instance;
    return instance;
}

double lastSeconds = 0;

void BM_DecryptModelFile(benchmark::State& state) {
    auto& encrypted = model();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!vekai_crypto_decrypt_file_to_file(encrypted.key.data(), encrypted.path.c_str(),
                                               encrypted.output.c_str()))
            state.SkipWithError("decryption failed");
        lastSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kModelBytes));
}
BENCHMARK(BM_DecryptModelFile)->Unit(benchmark::kMillisecond)->Iterations(3);

// MB/s of "openssl speed" for AES-256-GCM on 16 KiB blocks, or 0 when it cannot be run.
double opensslSpeedMegabytes() {
    std::unique_ptr<FILE, decltype(&pclose)> pipe(
        popen("openssl speed -evp aes-256-gcm -seconds 1 -bytes 16384 2>/dev/null", "r"), pclose);
    if (!pipe)
        return 0;
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe.get()))
        output += buffer;
    // The result line ends with the rate in thousands of bytes per second followed by "k".
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("AES-256-GCM", 0) != 0 && line.rfind("aes-256-gcm", 0) != 0)
            continue;
        const size_t end = line.find_last_of('k');
        const size_t start = line.find_last_of(' ', end);
        if (end == std::string::npos || start == std::string::npos)
            continue;
        return std::stod(line.substr(start + 1, end - start - 1)) / 1000.0;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double ours = lastSeconds > 0 ? kModelBytes / lastSeconds / 1e6 : 0;
    const double openssl = opensslSpeedMegabytes();
    std::printf("figure decrypt_mbps %.1f MB/s baseline %.1f ratio %.3f\n", ours, openssl,
                openssl > 0 ? ours / openssl : 0.0);
    return 0;
}
