// What a person waiting on a device should hear about: the notices (banners) at the top of its
// settings page, such as download progress and what a long step is doing, reported once each.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vekhost {

// The texts of the banners among the page's top-level items, in page order; a banner inside a
// group or a section describes the device rather than a step under way and is left out.
std::vector<std::string> pageNotices(const std::string& model);

// Remembers what was reported per camera, so that a notice is told once and again only after it
// changed, as download progress does.
class NoticeReporter {
public:
    // The notices of this camera not in its previous list.
    std::vector<std::string> fresh(const std::string& camera, const std::vector<std::string>& notices);
    // Logs the first line of each fresh notice of the camera's page model, after the camera's name.
    void report(const std::string& camera, const std::string& model);

private:
    std::map<std::string, std::vector<std::string>> previous;
};

}  // namespace vekhost
