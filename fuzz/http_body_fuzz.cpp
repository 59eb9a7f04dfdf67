// The body extraction of the host's HTTP answers: any text gives the line after the first empty
// line, or the whole text when there is none, and never reads outside the answer.
#include <cstdlib>
#include <string>

#include "api_manager.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string response(reinterpret_cast<const char*>(data), size);
    const std::string body = APIManager::extractMessageBody(response);
    if (body == response)
        return 0;
    // A body taken after an empty line is one line of the answer.
    if (body.find('\n') != std::string::npos || response.find(body) == std::string::npos)
        std::abort();
    return 0;
}
