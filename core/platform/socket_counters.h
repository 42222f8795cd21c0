// The kernel's per-socket TCP byte counters, summed per process: the bytes each process
// received and sent over the TCP sockets it holds open now. Asked of the kernel directly,
// without running a tool. Stateless; safe from any thread.
//
// UDP is not counted, nor sockets that closed. Without privileges only the user's own
// processes show: another user's descriptors cannot be looked into.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel::platform {

struct SocketBytes {
  uint64_t inode = 0;
  int64_t received = 0;
  int64_t sent = 0;  // acknowledged by the peer: retransmissions are not counted twice
  bool operator==(const SocketBytes&) const = default;
};

// The sockets in one batch of the kernel's socket-diagnostics replies, appended to
// `sockets`. False when the batch ends the reply (its last message, or an error).
bool parseSocketReplies(std::string_view batch, std::vector<SocketBytes>& sockets, bool& failed);
// The inode of a descriptor's link target "socket:[12345]".
std::optional<uint64_t> socketInode(std::string_view target);

// pid -> (bytes received, bytes sent) over the TCP sockets, IPv4 and IPv6, each process
// holds; a socket shared by several processes counts for each. Nothing when the kernel
// does not answer (no socket diagnostics in this kernel or sandbox).
std::optional<std::map<int32_t, std::pair<int64_t, int64_t>>> tcpBytesByProcess();

}  // namespace tessel::platform
