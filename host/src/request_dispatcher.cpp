#include <vekhost/request_dispatcher.h>

#include <vek/sdk/helpers/string.h>
#include <vekhost/host_log.h>
#include <vekhost/http_message.h>

namespace vekhost {
namespace {

using vek::sdk::Error;
using vek::sdk::ErrorCode;
using vek::sdk::HttpDomainName;
using vek::sdk::IString;
using vek::sdk::Result;

void fail(vek::sdk::IHttpRequestCompletionHandler* handler, ErrorCode code, std::string message) {
    handler->execute(Result<IString*>(Error{code, new vek::sdk::String(std::move(message))}));
}

}  // namespace

RequestDispatcher::RequestDispatcher(std::shared_ptr<RestRouter> router)
    : router(std::move(router)), worker([this] { serve(); }) {}

RequestDispatcher::~RequestDispatcher() {
    stop();
}

void RequestDispatcher::submit(HttpDomainName domain, RestRequest request,
                               vek::sdk::IHttpRequestCompletionHandler* handler) {
    if (!handler) {
        logWarning("HTTP request " + request.method + " " + request.pathWithQuery +
                   " without a completion handler; ignored");
        return;
    }
    Pending pending{domain, std::move(request), vek::sdk::shareToPtr(handler)};
    {
        std::lock_guard lock(mutex);
        if (!stopping) {
            queue.push_back(std::move(pending));
            wake.notify_one();
            return;
        }
    }
    logWarning("HTTP request " + pending.request.method + " " + pending.request.pathWithQuery +
               " after shutdown; cancelled");
    fail(pending.handler.get(), ErrorCode::networkError, "Request cancelled: the host is shutting down");
}

void RequestDispatcher::stop() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    if (worker.joinable())
        worker.join();
}

void RequestDispatcher::serve() {
    for (;;) {
        Pending pending;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (queue.empty())
                return;
            pending = std::move(queue.front());
            queue.pop_front();
        }
        answer(pending);
        // The handler is plugin code: its last reference goes here, before the next wait, so that
        // nothing of the plugin is left once the queue is empty.
        pending.handler.reset();
    }
}

void RequestDispatcher::answer(Pending& pending) const {
    const RestRequest& request = pending.request;
    if (pending.domain != HttpDomainName::vms) {
        logWarning("HTTP request to domain " + std::to_string(static_cast<int>(pending.domain)) + " (" +
                   request.method + " " + request.pathWithQuery + ") is not served by this host");
        fail(pending.handler.get(), ErrorCode::notImplemented, "Only the server's own REST API is served");
        return;
    }
    const RestResponse response = router->handle(request);
    logVerbose("HTTP " + request.method + " " + request.pathWithQuery + " -> " +
               std::to_string(response.status));
    pending.handler->execute(Result<IString*>(new vek::sdk::String(formatHttpResponse(response))));
}

}  // namespace vekhost
