#include "messaging_manager.h"

#include "vekai_utilities/vekai_utils.h"

void MessagingManager::addMessage(const std::string& key, const std::string& text, MESSAGE_TYPE type) {
    std::lock_guard lock(mutex);
    auto [entry, inserted] = messages.try_emplace(key, Message_t{type, text});
    const bool changed = inserted || entry->second.text != text;
    entry->second = Message_t{type, text};
    if (!changed)
        return;
    if (type == MESSAGE_TYPE::WARNING)
        vekai_vlog("Adding warning: %s : %s\n", key.c_str(), text.c_str());
    else
        vekai_vlog_verbose("Adding message: %s : %s\n", key.c_str(), text.c_str());
}

void MessagingManager::removeMessage(const std::string& key) {
    std::lock_guard lock(mutex);
    if (messages.erase(key) > 0)
        vekai_vlog_verbose("Removed message: %s \n", key.c_str());
}

void MessagingManager::clearWarnings() {
    vekai_vlog_verbose("Clearing all warning messages.\n");
    std::lock_guard lock(mutex);
    std::erase_if(messages, [](const auto& entry) { return entry.second.type == MESSAGE_TYPE::WARNING; });
}

std::unordered_map<std::string, Message_t> MessagingManager::getMessages() const {
    std::lock_guard lock(mutex);
    return messages;
}
