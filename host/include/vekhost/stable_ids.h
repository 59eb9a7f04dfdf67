// Stable name-based ids for the server and its cameras, so that a restart of the host hands the
// plugin the same ids again.
#pragma once

#include <vek/sdk/uuid.h>
#include <string>
#include <string_view>

namespace vekhost {

// A version 5 (SHA-1, name-based) UUID in the host's own namespace: equal names give equal ids.
vek::sdk::Uuid nameBasedUuid(std::string_view name);

// The same id as hyphenated lower-case text.
std::string stableId(std::string_view name);

}  // namespace vekhost
