#include <vekhost/page_notices.h>

#include <rapidjson/document.h>

#include <vekhost/host_log.h>

#include <algorithm>

namespace vekhost {

std::vector<std::string> pageNotices(const std::string& model) {
    std::vector<std::string> notices;
    rapidjson::Document document;
    if (document.Parse(model.c_str(), model.size()).HasParseError() || !document.IsObject())
        return notices;
    const auto items = document.FindMember("items");
    if (items == document.MemberEnd() || !items->value.IsArray())
        return notices;
    for (const auto& item : items->value.GetArray()) {
        if (!item.IsObject())
            continue;
        const auto type = item.FindMember("type");
        const auto text = item.FindMember("text");
        const auto visible = item.FindMember("visible");
        if (type == item.MemberEnd() || !type->value.IsString() ||
            std::string(type->value.GetString()) != "Banner" || text == item.MemberEnd() ||
            !text->value.IsString() || text->value.GetStringLength() == 0)
            continue;
        if (visible != item.MemberEnd() && visible->value.IsFalse())
            continue;
        notices.emplace_back(text->value.GetString(), text->value.GetStringLength());
    }
    return notices;
}

std::vector<std::string> NoticeReporter::fresh(const std::string& camera,
                                               const std::vector<std::string>& notices) {
    std::vector<std::string>& before = previous[camera];
    std::vector<std::string> news;
    for (const auto& notice : notices)
        if (std::find(before.begin(), before.end(), notice) == before.end())
            news.push_back(notice);
    before = notices;
    return news;
}

void NoticeReporter::report(const std::string& camera, const std::string& model) {
    for (const auto& notice : fresh(camera, pageNotices(model)))
        logInfo(camera + ": " + notice.substr(0, notice.find('\n')));
}

}  // namespace vekhost
