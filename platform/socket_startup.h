#pragma once

namespace korvalt::platform {

// WSAStartup and WSACleanup on Windows. POSIX sockets need no start-up; on both the counter keeps
// every start paired with a clean-up visible and checkable (every start-up must be matched by
// one clean-up).
bool SocketStartup();
void SocketCleanup();
int SocketUsers();

}  // namespace korvalt::platform
