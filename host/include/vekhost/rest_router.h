// The media server's REST API as the host emulates it: one request in, one status and JSON body
// out. Only the not-found answer exists so far; resources are added here as routes.
#pragma once

#include <string>

namespace vekhost {

struct RestRequest {
    std::string method;
    std::string pathWithQuery;
    std::string mimeType;
    std::string body;
};

struct RestResponse {
    int status = 0;
    // One line of compact JSON.
    std::string body;
};

class RestRouter {
public:
    RestResponse handle(const RestRequest& request) const;
};

}  // namespace vekhost
