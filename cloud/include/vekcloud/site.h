// The site directory the local cloud serves: pipeline and default documents per device, and model
// descriptions with their plain files. Read afresh on every request, so a test may change it between
// requests. The layout is described in samples/site/README.md.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekcloud {

// What the placeholders of a served document stand for.
struct DocumentContext {
    std::string cloudUrl;  // "{cloud}"
    std::string systemId;  // "{systemId}"
    std::string deviceId;  // "{deviceId}"
};

// A document for an answer: its compact JSON text, or why there is none.
struct SiteDocument {
    enum class Kind { found, missing, invalid };
    Kind kind = Kind::missing;
    std::string text;
};

class Site {
public:
    using Warn = std::function<void(std::string_view)>;

    Site(std::filesystem::path root, Warn warn) : root(std::move(root)), warn(std::move(warn)) {}

    // The array of pipelines offered to context.deviceId.
    SiteDocument availablePipelines(const DocumentContext& context) const;
    // {"Devices":{id:configuration,...}} for the listed devices that have a default configuration.
    SiteDocument resetAnswer(const std::vector<std::string>& deviceIds, const DocumentContext& context) const;
    // The plain file of a download that the model's description names; none for anything else.
    std::optional<std::filesystem::path> modelFile(const std::string& modelId,
                                                   const std::string& fileName) const;

private:
    std::filesystem::path root;
    Warn warn;
};

// Whether a device id, model id or file name can safely name a file in a site folder.
bool isSafeName(std::string_view name);

}  // namespace vekcloud
