#include "platform/socket_startup.h"

#include <winsock2.h>

#include <atomic>

namespace korvalt::platform {
namespace {
std::atomic<int> gSocketUsers{0};
}

// Winsock counts its own start-ups; every successful WSAStartup is paired with one WSACleanup.
bool SocketStartup() {
  WSADATA data{};
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  gSocketUsers.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void SocketCleanup() {
  gSocketUsers.fetch_sub(1, std::memory_order_relaxed);
  ::WSACleanup();
}

int SocketUsers() {
  return gSocketUsers.load(std::memory_order_relaxed);
}

}  // namespace korvalt::platform
