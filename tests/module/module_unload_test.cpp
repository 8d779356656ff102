// A recorder that unloads the module while a camera's name is still being looked up.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct ChildRun {
  int Status = -1;
  std::string Out;
};

ChildRun RunChild() {
  ChildRun run;
  // The look-up thread ends after the module is gone, so nothing is left to join it: under the
  // thread sanitizer that is by design, not a leak.
  const char* tsan = std::getenv("TSAN_OPTIONS");
  const std::string command = std::string("TSAN_OPTIONS='") + (tsan != nullptr ? tsan : "") +
                              ":report_thread_leaks=0' '" + QUENLARK_UNLOAD_CHILD + "' '" +
                              QUENLARK_MODULE_PATH + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.Out += buffer;
  const int status = ::pclose(pipe);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

long Value(const std::string& out, const std::string& key) {
  const size_t at = out.find(key + "=");
  return at == std::string::npos ? -1 : std::stol(out.substr(at + key.size() + 1));
}

TEST(ModuleUnload, SlowNameLookupsNeitherPileUpNorOutliveTheModule) {
  // 20 start/stop cycles against a name that answers only after the module was unloaded.
  const ChildRun run = RunChild();
  EXPECT_EQ(run.Status, 0) << run.Out;
  EXPECT_NE(run.Out.find("survived"), std::string::npos) << run.Out;
  EXPECT_EQ(Value(run.Out, "most-lookups"), 1) << "one look-up per name, whatever the cycles";
  // The one look-up still waiting for the name service (a sanitizer may add its own thread).
  EXPECT_LE(Value(run.Out, "threads-left"), 2) << run.Out;
  EXPECT_GE(Value(run.Out, "longest-stop-ms"), 0);
  EXPECT_LT(Value(run.Out, "longest-stop-ms"), 1000) << "stops do not wait for the name service";
}

}  // namespace
