// What every sample processor shares: receiving requests from the plugin over the shared-memory
// channel (when the plugin starts the program) or TCP (when the program is started on its own),
// looking up MessagePack map entries, and sending the answer back.
#pragma once

#include <msgpack.h>

#include <functional>
#include <string>
#include <string_view>

namespace sample {

// Writes the answer to one request into the packer; returns false to send nothing.
using Handler = std::function<bool(const msgpack_object& request, msgpack_packer& answer)>;

// "--Name value" of the command line (the plugin passes "--ProcessorName" and the "Config" entries).
std::string option(int argc, char** argv, std::string_view name, std::string_view fallback);

// Serves requests until the plugin asks the program to exit (channel) or forever (TCP):
//   program <request channel> <response channel> [--Name value ...]
//   program --tcp <port> [--Name value ...]
int serve(int argc, char** argv, const Handler& handler);

const msgpack_object* find(const msgpack_object& map, std::string_view key);
std::string_view text(const msgpack_object* value);
// Any number, or the fallback.
double number(const msgpack_object* value, double fallback);
// A "UserSettings" value as a number, or the fallback when it is absent or not a number.
double setting(const msgpack_object& request, std::string_view name, double fallback);

void packText(msgpack_packer& packer, std::string_view value);
// Every answer echoes these two entries of its request.
void packCorrelation(msgpack_packer& packer, const msgpack_object& request);

}  // namespace sample
