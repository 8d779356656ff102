// The preset file under crashes and under concurrent channels: whatever happens, the file loads
// and holds every preset whose add was reported as done.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "preset_fixture.h"

namespace {

using presettest::ListDirectory;

constexpr const char* kCrashFile = "Quenlark_CRASH.preset";

class PresetCrash : public presettest::PresetDevice {
 protected:
  enum class Known { kPresent, kAbsent, kUnknown };
  struct Preset {
    int Channel = 0;
    Known State = Known::kUnknown;
  };

  // Runs the child with seed, kills it once it has reported that many lines plus a little more,
  // and returns everything it wrote.
  std::string RunAndKill(unsigned seed, int lines, int extraMicroseconds) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(pipeFds[1], STDOUT_FILENO);
      const std::string seedText = std::to_string(seed);
      ::execl(QUENLARK_PRESET_CRASH_CHILD, QUENLARK_PRESET_CRASH_CHILD, seedText.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string output;
    const auto readSome = [&](int timeoutMs) {
      pollfd ready{pipeFds[0], POLLIN, 0};
      if (::poll(&ready, 1, timeoutMs) <= 0) return false;
      char buffer[4096];
      const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
      if (n <= 0) return false;
      output.append(buffer, static_cast<size_t>(n));
      return true;
    };
    // Until the child is ready and has reported the wanted number of lines (or has stopped).
    while (std::count(output.begin(), output.end(), '\n') < lines + 1 && readSome(5000)) {
    }
    const auto killAt = std::chrono::steady_clock::now() + std::chrono::microseconds(extraMicroseconds);
    while (std::chrono::steady_clock::now() < killAt) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(killAt - std::chrono::steady_clock::now());
      if (!readSome(static_cast<int>(left.count()))) break;
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    while (readSome(0)) {
    }
    ::close(pipeFds[0]);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the child ended by itself: " << output.substr(0, 200);
    return output;
  }

  // Folds the child's complete lines into what is known about each preset.
  void Account(const std::string& output) {
    std::istringstream lines(output.substr(0, output.rfind('\n') + 1));
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string kind;
      int channel = 0;
      std::string name;
      int result = 0;
      words >> kind >> channel >> name >> result;
      if (kind == "ready") continue;
      Preset& preset = Presets[name];
      preset.Channel = channel;
      if (kind == "A") {
        ++Adds;
        preset.State = result == korvalt::ipcapture::kPtzSuccess ? Known::kPresent : Known::kUnknown;
      } else if (kind == "R") {
        ++Removes;
        preset.State = result == 1 ? Known::kAbsent : Known::kUnknown;
      } else {
        preset.State = Known::kUnknown;  // started, not known to have ended
      }
    }
  }

  void CheckFile() {
    for (const std::string& file : ListDirectory(Dir.Path())) {
      ASSERT_TRUE(file == kCrashFile || file.rfind(std::string(kCrashFile) + ".tmp-", 0) == 0)
          << "unexpected file " << file;
    }
    std::map<int, std::set<std::string>> inFile;
    for (int channel = 0; channel < 2; ++channel) {
      for (const std::string& name : NamesInFileOf(channel)) inFile[channel].insert(name);
    }
    for (const auto& [name, preset] : Presets) {
      const bool present = inFile[preset.Channel].count(name) > 0;
      if (preset.State == Known::kPresent) {
        ASSERT_TRUE(present) << name << " was added and is lost";
      }
      if (preset.State == Known::kAbsent) {
        ASSERT_FALSE(present) << name << " was removed and is back";
      }
    }
  }

  std::vector<std::string> NamesInFileOf(int channel) {
    korvalt::TSmartPtr<korvalt::CXMLPrepositionReader> reader(new korvalt::CXMLPrepositionReader("Quenlark"));
    EXPECT_TRUE(reader->OpenFile(kCrashFile));
    korvalt::CPrepositionList list(channel);
    list.SetMaxPrepositions(kLimit);
    list.Initialize(reader);
    std::vector<std::string> names(static_cast<size_t>(list.Count()));
    for (int i = 0; i < list.Count(); ++i) list.GetName(i, names[static_cast<size_t>(i)]);
    return names;
  }

  std::map<std::string, Preset> Presets;
  int Adds = 0;
  int Removes = 0;
};

TEST_F(PresetCrash, KilledAtRandomTheFileKeepsEveryCompletedAdd) {
  constexpr int kKills = 60;
  std::mt19937 random(4711);
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    const int lines = static_cast<int>(random() % 20);
    const int extra = static_cast<int>(random() % 5000);
    Account(RunAndKill(static_cast<unsigned>(kill), lines, extra));
    CheckFile();
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(Adds, 100);
  EXPECT_GT(Removes, 20);
}

TEST_F(PresetCrash, TwoChannelsOfOneDeviceAddFromTwoThreads) {
  ASSERT_TRUE(OpenReader());
  List(0);
  List(1);
  constexpr int kAdds = 40;
  std::vector<std::string> expected[2];
  std::thread threads[2];
  for (int channel = 0; channel < 2; ++channel) {
    threads[channel] = std::thread([this, channel, &expected] {
      korvalt::CPrepositionList& list = *Lists[channel];
      for (int i = 0; i < kAdds; ++i) {
        const std::string name = "c" + std::to_string(channel) + "p" + std::to_string(i);
        list.ResetCurrent();
        EXPECT_EQ(list.AddPreposition(name), korvalt::ipcapture::kPtzSuccess);
        expected[channel].push_back(name);
        // Every fourth add also removes the preset before it: the channel is rewritten as one batch.
        if (i % 4 == 3) {
          EXPECT_TRUE(list.Remove(expected[channel][expected[channel].size() - 2]));
          expected[channel].erase(expected[channel].end() - 2);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int channel = 0; channel < 2; ++channel) {
    std::vector<std::string> sorted = expected[channel];
    std::vector<std::string> loaded = NamesInFile(channel);
    std::sort(sorted.begin(), sorted.end());
    std::sort(loaded.begin(), loaded.end());
    EXPECT_EQ(loaded, sorted) << "channel " << channel;
  }
}

}  // namespace
