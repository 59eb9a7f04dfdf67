#include "vekcloud/body_source.h"

#include <algorithm>

namespace vekcloud {

bool TextBody::next(std::string& piece) {
    const size_t count = std::min(kPieceSize, text.size() - offset);
    piece.assign(text, offset, count);
    offset += count;
    return true;
}

std::unique_ptr<FileBody> FileBody::open(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary | std::ios::ate);
    if (!stream) {
        return nullptr;
    }
    const auto end = stream.tellg();
    stream.seekg(0);
    if (end < 0 || !stream) {
        return nullptr;
    }
    return std::unique_ptr<FileBody>(new FileBody(std::move(stream), static_cast<uint64_t>(end)));
}

bool FileBody::next(std::string& piece) {
    const auto count = static_cast<size_t>(std::min<uint64_t>(kPieceSize, length - produced));
    piece.resize(count);
    if (count > 0 && !stream.read(piece.data(), static_cast<std::streamsize>(count))) {
        // The file shrank while it was being sent.
        return false;
    }
    produced += count;
    return true;
}

}  // namespace vekcloud
