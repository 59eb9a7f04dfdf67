// The engine's store of user-facing notices: one notice per key, shown as banners on every
// device settings page the next time one is built.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

enum class MESSAGE_TYPE : int32_t {
    INFO = 0,
    WARNING = 1,
};

struct Message_t {
    MESSAGE_TYPE type = MESSAGE_TYPE::INFO;
    std::string text;
};

class MessagingManager {
public:
    void addMessage(const std::string& key, const std::string& text, MESSAGE_TYPE type);
    void removeMessage(const std::string& key);
    void clearWarnings();
    std::unordered_map<std::string, Message_t> getMessages() const;

private:
    mutable std::mutex mutex;
    std::unordered_map<std::string, Message_t> messages;
};
