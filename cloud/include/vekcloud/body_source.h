// Bodies the local cloud sends piece by piece, so that large files are streamed rather than loaded:
// a text held in memory and a file read as it goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace vekcloud {

class BodySource {
public:
    static constexpr size_t kPieceSize = 64 * 1024;

    virtual ~BodySource() = default;
    // Announced in the head before the first piece is produced.
    virtual uint64_t size() const = 0;
    // Replaces `piece` with the next bytes, empty after the last; false when they cannot be produced.
    virtual bool next(std::string& piece) = 0;
};

class TextBody final : public BodySource {
public:
    explicit TextBody(std::string text) : text(std::move(text)) {}
    uint64_t size() const override { return text.size(); }
    bool next(std::string& piece) override;

private:
    std::string text;
    size_t offset = 0;
};

class FileBody final : public BodySource {
public:
    // None when the file cannot be opened.
    static std::unique_ptr<FileBody> open(const std::filesystem::path& path);
    uint64_t size() const override { return length; }
    bool next(std::string& piece) override;

private:
    FileBody(std::ifstream stream, uint64_t length) : stream(std::move(stream)), length(length) {}

    std::ifstream stream;
    uint64_t length;
    uint64_t produced = 0;
};

}  // namespace vekcloud
