#pragma once

namespace korvalt::platform {

// POSIX sockets need no start-up; the counter keeps the start/clean-up pairing of the design
// visible and checkable (every start-up must be matched by one clean-up).
bool SocketStartup();
void SocketCleanup();
int SocketUsers();

}  // namespace korvalt::platform
