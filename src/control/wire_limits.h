// The bounds that every protocol of the suite puts on counts and lengths it
// reads from the wire, so that a peer cannot make a reader allocate or wait
// for more than a sane message holds.
#pragma once

#include <cstdint>
#include <string>

namespace velka {
namespace ipc {
class VkPDU;
}

namespace varno {

// Name and value pairs of one configuration or store message.
constexpr int32_t kMaxConfigValues = 4096;
// A name or value of a configuration store message, a client or
// application name, a users text or a command line.
constexpr uint32_t kMaxTextLength = 1u << 20;
// One configuration reply as a whole (its header, names and values), and
// each name or value in it: what the agent's settings need, and no more.
constexpr uint32_t kMaxConfigReply = 1u << 20;
constexpr uint32_t kMaxConfigText = 64u << 10;
// Process ids of one reload request.
constexpr int32_t kMaxReloadPids = 65536;
// Each text of an update request.
constexpr uint32_t kMaxUpdateText = 4096;

// Reads an int32 element count; one below 0 or above max is refused: the
// connection is marked not connected (the rest of the message stays
// unread) and VkException "<place> - invalid count of values ->N (0 to
// max expected)" is thrown.
int32_t ReadCount(ipc::VkPDU& in, int32_t max, const std::string& place);

// Marks the unit's connection not connected: a message was not read to its
// end, so the stream must not carry another one.
void DropConnection(ipc::VkPDU& unit);

}  // namespace varno
}  // namespace velka
