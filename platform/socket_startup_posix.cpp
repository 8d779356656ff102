#include "platform/socket_startup.h"

#include <atomic>

namespace korvalt::platform {
namespace {
std::atomic<int> gSocketUsers{0};
}

bool SocketStartup() {
  gSocketUsers.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void SocketCleanup() {
  gSocketUsers.fetch_sub(1, std::memory_order_relaxed);
}

int SocketUsers() {
  return gSocketUsers.load(std::memory_order_relaxed);
}

}  // namespace korvalt::platform
