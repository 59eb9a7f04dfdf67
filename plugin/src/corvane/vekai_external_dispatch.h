// Pairing of external processor answers with the requests waiting for them, the reader that routes
// answers off a processor's transport, and the exchange every handler performs.
#pragma once

#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

class ExternalProcess;
class VekAITimer;

namespace Utils {

class PendingResponseRegistry {
public:
    struct Pending {
        std::future<std::vector<uint8_t>> answer;
        uint64_t ticket = 0;
    };

    // A promise already stored under the key is dropped; its waiter sees a broken promise.
    Pending registerRequest(const std::string& key);
    // An answer for a key nobody waits for (any more) is dropped.
    void fulfill(const std::string& key, std::vector<uint8_t> bytes);
    // Withdraws the request of this ticket only, so that a waiter that gave up never takes the
    // entry of a later request with the same key.
    void cancel(const std::string& key, uint64_t ticket);

private:
    struct Entry {
        std::promise<std::vector<uint8_t>> promise;
        uint64_t ticket = 0;
    };
    std::mutex mutex;
    std::map<std::string, Entry> pending;
    uint64_t nextTicket = 1;
};

// Routes answers to the registry by their correlation key until stopped or the program exits.
void runResponseReaderLoop(std::stop_token stop, ExternalProcess& process, PendingResponseRegistry& registry,
                           int timeoutMs, const std::string& processorName);

enum class ExchangeOutcome { Answered, SendFailed, TimedOut, NeverDelivered };

struct ExchangeResult {
    ExchangeOutcome outcome = ExchangeOutcome::NeverDelivered;
    std::vector<uint8_t> answer;
};

// Registers, sends, waits up to timeoutMs; laps "send" and "wait" on the timer.
ExchangeResult exchangeWithProcessor(ExternalProcess& process, PendingResponseRegistry& registry,
                                     const std::string& key, std::span<const uint8_t> request,
                                     int64_t timeoutMs, VekAITimer& timer);

// The timeout as the transport takes it.
int clampTimeoutMs(int64_t timeoutMs);

}  // namespace Utils
