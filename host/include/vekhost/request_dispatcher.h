// Answers the plugin's HTTP requests on one host thread, so completion always arrives
// asynchronously; every handler is executed exactly once, and stop() finishes what is queued.
#pragma once

#include <vek/sdk/i_utility_provider.h>
#include <vekhost/rest_router.h>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace vekhost {

class RequestDispatcher {
public:
    explicit RequestDispatcher(std::shared_ptr<RestRouter> router);
    RequestDispatcher(const RequestDispatcher&) = delete;
    RequestDispatcher& operator=(const RequestDispatcher&) = delete;
    ~RequestDispatcher();

    // Takes its own reference to the handler. After stop() the handler is told at once, on the
    // caller's thread, that the request was cancelled.
    void submit(vek::sdk::HttpDomainName domain, RestRequest request,
                vek::sdk::IHttpRequestCompletionHandler* handler);

    // Answers every queued request, then joins the thread. Must not be called from a handler.
    void stop();

private:
    struct Pending {
        vek::sdk::HttpDomainName domain = vek::sdk::HttpDomainName::vms;
        RestRequest request;
        vek::sdk::Ptr<vek::sdk::IHttpRequestCompletionHandler> handler;
    };

    void serve();
    void answer(Pending& pending) const;

    std::shared_ptr<RestRouter> router;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Pending> queue;
    bool stopping = false;
    std::thread worker;
};

}  // namespace vekhost
