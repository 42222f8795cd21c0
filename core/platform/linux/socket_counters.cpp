#include "platform/socket_counters.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <set>
#include <unordered_map>

namespace tessel::platform {
namespace {

// Every state a connection moves bytes in; listening sockets move none, and closed ones
// (TIME_WAIT) belong to no process.
constexpr uint32_t connectedStates = ~((1U << 10) | (1U << 6) | (1U << 7));
constexpr size_t bytesAckedEnd = offsetof(tcp_info, tcpi_bytes_acked) + sizeof(uint64_t);
constexpr size_t bytesReceivedEnd = offsetof(tcp_info, tcpi_bytes_received) + sizeof(uint64_t);

// One dump request for the TCP sockets of `family`, with their tcp_info.
bool request(int fd, uint8_t family) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.body.sdiag_family = family;
  message.body.sdiag_protocol = IPPROTO_TCP;
  message.body.idiag_states = connectedStates;
  message.body.idiag_ext = 1 << (INET_DIAG_INFO - 1);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  return sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                sizeof kernel) == static_cast<ssize_t>(sizeof message);
}

bool dump(int fd, uint8_t family, std::vector<SocketBytes>& sockets) {
  if (!request(fd, family)) return false;
  std::vector<char> buffer(1 << 16);
  bool failed = false;
  while (true) {
    const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
    if (got <= 0) return false;
    if (!parseSocketReplies(std::string_view(buffer.data(), static_cast<size_t>(got)), sockets,
                            failed)) {
      return !failed;
    }
  }
}

// Socket inode -> the pids holding it, over every process whose descriptors we may read.
std::unordered_map<uint64_t, std::vector<int32_t>> socketOwners() {
  std::unordered_map<uint64_t, std::vector<int32_t>> owners;
  DIR* processes = opendir("/proc");
  if (!processes) return owners;
  while (const dirent* process = readdir(processes)) {
    int32_t pid = 0;
    const std::string_view name(process->d_name);
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (error != std::errc() || end != name.data() + name.size()) continue;
    char folder[40];
    snprintf(folder, sizeof folder, "/proc/%d/fd", pid);
    DIR* descriptors = opendir(folder);
    if (!descriptors) continue;
    std::set<uint64_t> held;  // a socket held twice by one process counts once
    while (const dirent* descriptor = readdir(descriptors)) {
      if (descriptor->d_name[0] == '.') continue;
      char link[300];
      snprintf(link, sizeof link, "%s/%s", folder, descriptor->d_name);
      char target[64];
      const ssize_t size = readlink(link, target, sizeof target);
      if (size <= 0 || static_cast<size_t>(size) >= sizeof target) continue;
      if (const auto inode = socketInode(std::string_view(target, static_cast<size_t>(size)))) {
        if (held.insert(*inode).second) owners[*inode].push_back(pid);
      }
    }
    closedir(descriptors);
  }
  closedir(processes);
  return owners;
}

}  // namespace

bool parseSocketReplies(std::string_view batch, std::vector<SocketBytes>& sockets, bool& failed) {
  const char* at = batch.data();
  size_t left = batch.size();
  while (left >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, at, sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > left) {
      failed = true;
      return false;
    }
    if (header.nlmsg_type == NLMSG_DONE) return false;
    if (header.nlmsg_type == NLMSG_ERROR) {
      failed = true;
      return false;
    }
    const size_t bodyLength = header.nlmsg_len - NLMSG_HDRLEN;
    if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && bodyLength >= sizeof(inet_diag_msg)) {
      const char* body = at + NLMSG_HDRLEN;
      inet_diag_msg socket;
      std::memcpy(&socket, body, sizeof socket);
      SocketBytes bytes{.inode = socket.idiag_inode};
      // The attributes after the message: only the connection's tcp_info is asked for.
      size_t offset = NLMSG_ALIGN(sizeof socket);
      while (offset + sizeof(rtattr) <= bodyLength) {
        rtattr attribute;
        std::memcpy(&attribute, body + offset, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || offset + attribute.rta_len > bodyLength) break;
        const size_t payload = attribute.rta_len - RTA_LENGTH(0);
        if (attribute.rta_type == INET_DIAG_INFO) {
          // Older kernels write a shorter tcp_info: counters it lacks are unknown.
          tcp_info info{};
          std::memcpy(&info, body + offset + RTA_LENGTH(0), std::min(payload, sizeof info));
          if (payload >= bytesAckedEnd) bytes.sent = static_cast<int64_t>(info.tcpi_bytes_acked);
          if (payload >= bytesReceivedEnd) {
            bytes.received = static_cast<int64_t>(info.tcpi_bytes_received);
          }
        }
        offset += RTA_ALIGN(attribute.rta_len);
      }
      if (bytes.inode != 0) sockets.push_back(bytes);
    }
    const size_t step = NLMSG_ALIGN(header.nlmsg_len);
    if (step >= left) break;
    at += step;
    left -= step;
  }
  return true;
}

std::optional<uint64_t> socketInode(std::string_view target) {
  if (!target.starts_with("socket:[") || !target.ends_with("]")) return std::nullopt;
  const std::string_view digits = target.substr(8, target.size() - 9);
  uint64_t inode = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), inode);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) {
    return std::nullopt;
  }
  return inode;
}

std::optional<std::map<int32_t, std::pair<int64_t, int64_t>>> tcpBytesByProcess() {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return std::nullopt;
  std::vector<SocketBytes> sockets;
  const bool answered = dump(fd, AF_INET, sockets) && dump(fd, AF_INET6, sockets);
  close(fd);
  if (!answered) return std::nullopt;
  std::map<int32_t, std::pair<int64_t, int64_t>> totals;
  if (sockets.empty()) return totals;
  const auto owners = socketOwners();
  for (const SocketBytes& socket : sockets) {
    const auto found = owners.find(socket.inode);
    if (found == owners.end()) continue;
    for (const int32_t pid : found->second) {
      totals[pid].first += socket.received;
      totals[pid].second += socket.sent;
    }
  }
  return totals;
}

}  // namespace tessel::platform
