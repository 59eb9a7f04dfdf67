#include "accl_manager/utils.h"

namespace Utils {

std::string htmlLink(const std::string& target, const std::string& text) {
    return "<a href=\"" + target + "\" target=\"_blank\">" + text + "</a>";
}

}  // namespace Utils
