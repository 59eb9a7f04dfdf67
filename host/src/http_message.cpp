#include <vekhost/http_message.h>

namespace vekhost {

std::string reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Unknown";
    }
}

std::string formatHttpResponse(const RestResponse& response) {
    std::string message =
        "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
    message += "Content-Type: application/json\r\n";
    message += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    message += "\r\n";
    message += response.body;
    return message;
}

}  // namespace vekhost
