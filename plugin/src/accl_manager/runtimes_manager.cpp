#include "accl_manager/runtimes_manager.h"

#include "utils/plugin_utils.h"

RuntimesManager::RuntimesManager(const std::string& workingDirectory)
    : binDirectory(Utils::joinPaths({workingDirectory, "inference_engine"})),
      runtimeCacheDirectory(Utils::joinPaths({workingDirectory, "runtime_cache"})) {}

void RuntimesManager::initialize(MessagingManager&) {
    setState(RuntimeState::NONE);
}
