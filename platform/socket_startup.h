#pragma once

namespace korvalt::platform {

// POSIX sockets need no start-up; the counter keeps every start paired with a clean-up
// visible and checkable (every start-up must be matched by one clean-up).
bool SocketStartup();
void SocketCleanup();
int SocketUsers();

}  // namespace korvalt::platform
