#include "corvane/vekai_external_dispatch.h"

#include <chrono>
#include <limits>

#include "corvane/vekai_external_process.h"
#include "vekai_utilities/external_processor_utilities.h"
#include "vekai_utilities/vekai_utils.h"

namespace Utils {

PendingResponseRegistry::Pending PendingResponseRegistry::registerRequest(const std::string& key) {
    Pending request;
    std::promise<std::vector<uint8_t>> replaced;
    {
        std::lock_guard lock(mutex);
        Entry& entry = pending[key];
        replaced = std::move(entry.promise);
        entry.promise = std::promise<std::vector<uint8_t>>();
        entry.ticket = nextTicket++;
        request.answer = entry.promise.get_future();
        request.ticket = entry.ticket;
    }
    return request;
}

void PendingResponseRegistry::fulfill(const std::string& key, std::vector<uint8_t> bytes) {
    std::promise<std::vector<uint8_t>> promise;
    {
        std::lock_guard lock(mutex);
        auto it = pending.find(key);
        if (it == pending.end())
            return;
        promise = std::move(it->second.promise);
        pending.erase(it);
    }
    promise.set_value(std::move(bytes));
}

void PendingResponseRegistry::cancel(const std::string& key, uint64_t ticket) {
    std::promise<std::vector<uint8_t>> withdrawn;
    std::lock_guard lock(mutex);
    auto it = pending.find(key);
    if (it != pending.end() && it->second.ticket == ticket) {
        withdrawn = std::move(it->second.promise);
        pending.erase(it);
    }
}

int clampTimeoutMs(int64_t timeoutMs) {
    if (timeoutMs < 0)
        return 0;
    return timeoutMs > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(timeoutMs);
}

void runResponseReaderLoop(std::stop_token stop, ExternalProcess& process, PendingResponseRegistry& registry,
                           int timeoutMs, const std::string& processorName) {
    // A zero timeout would turn the loop into a busy wait.
    const int pollMs = timeoutMs < 1 ? 1 : timeoutMs;
    while (!stop.stop_requested() && !process.hasChildProcessExited()) {
        const std::optional<std::span<const uint8_t>> output = process.waitForOutput(pollMs);
        if (!output)
            continue;
        std::vector<uint8_t> answer(output->begin(), output->end());
        const std::optional<std::string> key = parseCorrelationKey(answer);
        process.finishOutput();
        if (!key) {
            vekai_vlog(
                "Warning: Could not read DeviceID/Timestamp from processor %s response. Dropping it.\n",
                processorName.c_str());
            continue;
        }
        registry.fulfill(*key, std::move(answer));
    }
}

ExchangeResult exchangeWithProcessor(ExternalProcess& process, PendingResponseRegistry& registry,
                                     const std::string& key, std::span<const uint8_t> request,
                                     int64_t timeoutMs, VekAITimer& timer) {
    ExchangeResult result;
    PendingResponseRegistry::Pending pending = registry.registerRequest(key);
    const bool sent = process.sendMessage(request);
    timer.lap("send");
    if (!sent) {
        registry.cancel(key, pending.ticket);
        result.outcome = ExchangeOutcome::SendFailed;
        return result;
    }
    if (pending.answer.wait_for(std::chrono::milliseconds(clampTimeoutMs(timeoutMs))) !=
        std::future_status::ready) {
        registry.cancel(key, pending.ticket);
        result.outcome = ExchangeOutcome::TimedOut;
        return result;
    }
    timer.lap("wait");
    try {
        result.answer = pending.answer.get();
        result.outcome = ExchangeOutcome::Answered;
    } catch (const std::future_error&) {
        result.outcome = ExchangeOutcome::NeverDelivered;
    }
    return result;
}

}  // namespace Utils
