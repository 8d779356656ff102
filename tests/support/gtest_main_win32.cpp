// The Windows suites' main: Winsock is started for the whole run, as the module's entry points do
// for a recorder.
#include <gtest/gtest.h>

#include "platform/socket_startup.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!korvalt::platform::SocketStartup()) return 2;
  const int status = RUN_ALL_TESTS();
  korvalt::platform::SocketCleanup();
  return status;
}
