// The file that keeps each device's reference-run boxes of dumping detection across restarts: one
// JSON object, an array of {"x","y","width","height"} per device id.
#pragma once

#include <vek/sdk/analytics/rect.h>
#include <map>
#include <string>
#include <vector>

namespace vekai {

using KnownBoxes = std::map<std::string, std::vector<vek::sdk::analytics::Rect>>;

// Appends the boxes of the file to `boxes`; a missing file adds nothing. A file that cannot be read
// or is not such a document is logged and leaves `boxes` as it was; malformed boxes are skipped.
void vekai_load_dumping_cache(const std::string& path, KnownBoxes& boxes);

// Writes `boxes` compactly below `cacheDirectory`, replacing the file only once the new content is
// complete; failures are logged.
void vekai_save_dumping_cache(const std::string& cacheDirectory, const std::string& path,
                              const KnownBoxes& boxes);

}  // namespace vekai
