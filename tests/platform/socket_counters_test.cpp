#include "platform/socket_counters.h"

#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace tessel::platform {
namespace {

// One reply message as the kernel writes it: header, socket, then its tcp_info cut to
// `infoBytes` (older kernels write less of it).
std::string socketReply(uint32_t inode, uint64_t acked, uint64_t received, size_t infoBytes) {
  inet_diag_msg socket{};
  socket.idiag_family = AF_INET;
  socket.idiag_inode = inode;
  tcp_info info{};
  info.tcpi_bytes_acked = acked;
  info.tcpi_bytes_received = received;
  rtattr attribute{};
  attribute.rta_type = INET_DIAG_INFO;
  attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(infoBytes));
  nlmsghdr header{};
  header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  header.nlmsg_len = static_cast<uint32_t>(
      NLMSG_LENGTH(NLMSG_ALIGN(sizeof socket) + RTA_ALIGN(attribute.rta_len)));
  std::string bytes(NLMSG_ALIGN(header.nlmsg_len), '\0');
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + NLMSG_HDRLEN, &socket, sizeof socket);
  char* at = bytes.data() + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof socket);
  std::memcpy(at, &attribute, sizeof attribute);
  std::memcpy(at + RTA_LENGTH(0), &info, std::min(infoBytes, sizeof info));
  return bytes;
}

std::string control(uint16_t type) {
  nlmsghdr header{};
  header.nlmsg_type = type;
  header.nlmsg_len = NLMSG_LENGTH(sizeof(int));
  std::string bytes(NLMSG_ALIGN(header.nlmsg_len), '\0');
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes;
}

TEST(SocketCounters, ReadsTheKernelsRepliesAndTheirEnd) {
  std::vector<SocketBytes> sockets;
  bool failed = false;
  const std::string batch = socketReply(11, 100, 5000, sizeof(tcp_info)) +
                            // A kernel whose tcp_info stops before bytes_acked.
                            socketReply(12, 7, 8, offsetof(tcp_info, tcpi_bytes_acked)) +
                            socketReply(0, 1, 1, sizeof(tcp_info));
  EXPECT_TRUE(parseSocketReplies(batch, sockets, failed));
  EXPECT_FALSE(failed);
  EXPECT_EQ(sockets, (std::vector<SocketBytes>{{11, 5000, 100}, {12, 0, 0}}));

  sockets.clear();
  EXPECT_FALSE(parseSocketReplies(socketReply(13, 1, 2, sizeof(tcp_info)) + control(NLMSG_DONE),
                                  sockets, failed));
  EXPECT_FALSE(failed);
  EXPECT_EQ(sockets.size(), 1u);

  EXPECT_FALSE(parseSocketReplies(control(NLMSG_ERROR), sockets, failed));
  EXPECT_TRUE(failed);
  failed = false;
  const std::string cut = socketReply(14, 1, 2, sizeof(tcp_info));
  EXPECT_FALSE(parseSocketReplies(cut.substr(0, cut.size() - 8), sockets, failed));
  EXPECT_TRUE(failed);
}

TEST(SocketCounters, SocketInodesFromDescriptorLinks) {
  EXPECT_EQ(socketInode("socket:[4026532]"), 4026532u);
  EXPECT_EQ(socketInode("pipe:[4026532]"), std::nullopt);
  EXPECT_EQ(socketInode("socket:[]"), std::nullopt);
  EXPECT_EQ(socketInode("socket:[12a]"), std::nullopt);
  EXPECT_EQ(socketInode("/tmp/socket:[1]"), std::nullopt);
}

}  // namespace
}  // namespace tessel::platform
