// The full HTTP response message the host hands to a request's completion handler: status line,
// headers, empty line, body.
#pragma once

#include <vekhost/rest_router.h>
#include <string>

namespace vekhost {

std::string reasonPhrase(int status);
std::string formatHttpResponse(const RestResponse& response);

}  // namespace vekhost
