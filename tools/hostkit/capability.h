#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/host/capability_query.h"

namespace hostkit {

// Everything a capability query wrote into the result object, as received.
struct CapabilityReport {
  struct Resolution {
    std::string Text;
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t FrameInterval = 0;  // ms; 0 when the camera gave none
  };
  struct CustomParameter {
    std::optional<std::string> Name;
    std::optional<std::string> Value;
    std::optional<int32_t> Type;  // 0 number, 1 text
    std::optional<int32_t> Attribute;
  };
  struct FrameIntervals {
    std::optional<int32_t> Default;
    std::vector<int32_t> Intervals;  // in the order added
  };

  std::optional<std::string> Name;
  std::vector<std::pair<int32_t, int32_t>> PropertyWrites;  // every SetProperty (id, value) in order
  std::map<int32_t, std::string> AddressFields;             // by index 1 to 4, the last text set
  std::map<int32_t, CustomParameter> CustomParameters;      // by 1-based index
  std::vector<Resolution> Resolutions;                      // in the order added
  std::map<int32_t, FrameIntervals> FrameIntervalLists;     // by the argument of GetFrameIntervalList

  // The last value written for a property id.
  std::optional<int32_t> Property(int32_t id) const;
  // The custom parameter with this name, or null.
  const CustomParameter* FindCustomParameter(std::string_view name) const;
};

// "queried", "ptz", "inputs", ... or "property N" for an id without a name.
std::string CapabilityPropertyName(int32_t id);
// The report as lines of text for people; the password is not shown.
std::string FormatReport(const CapabilityReport& report);

// Result object of a capability query. Keeps everything it receives; the module writes from its
// query thread while the recorder may take snapshots. Sub-objects live as long as this object.
class CapabilityResults : public korvalt::ipcapture::ICapabilityResults {
 public:
  CapabilityResults();
  ~CapabilityResults() override;
  CapabilityResults(const CapabilityResults&) = delete;
  CapabilityResults& operator=(const CapabilityResults&) = delete;

  void SetProperty(int32_t id, int32_t value) override;
  void SetName(const char* name) override;
  korvalt::ipcapture::ICapabilityText* GetAddressField(int32_t index) override;
  void Reserved4() override {}
  korvalt::ipcapture::ICustomParameterInfo* GetCustomParameter(int32_t index) override;
  korvalt::ipcapture::IResolutionList* GetResolutionList() override;
  void Reserved7() override {}
  korvalt::ipcapture::IFrameIntervalList* GetFrameIntervalList(int32_t which) override;

  CapabilityReport Report() const;
  // Forgets what was received; sub-objects handed out stay valid.
  void Clear();

 private:
  class Text;
  class Parameter;
  class ResolutionList;
  class IntervalList;

  mutable std::mutex Lock;  // guards everything below; sub-objects write Kept through it
  CapabilityReport Kept;
  std::map<int32_t, std::unique_ptr<Text>> Texts;  // created on first request, never removed
  std::map<int32_t, std::unique_ptr<Parameter>> Parameters;
  std::map<int32_t, std::unique_ptr<IntervalList>> IntervalLists;
  std::unique_ptr<ResolutionList> Resolutions;
};

struct CapabilityOutcome {
  int Completions = 0;
  int Failures = 0;
  int32_t ErrorCode = 0;  // of the last failure
  std::string Message;    // of the last failure
  bool Finished() const { return Completions + Failures > 0; }
  bool Succeeded() const { return Completions > 0 && Failures == 0; }
};

// Completion callback of a capability query that can be waited on.
class CapabilityCallback : public korvalt::ipcapture::ICapabilityQueryCallback {
 public:
  using Callback = std::function<void(const CapabilityOutcome&)>;

  void Reserved1() override {}
  void QueryCompleted() override;
  void QueryFailed(int32_t errorCode, const char* message) override;

  // Until the query completed or failed; false on time-out.
  bool Wait(std::chrono::milliseconds timeout) const;
  CapabilityOutcome Outcome() const;
  void Reset();
  // Called on the query thread after the outcome is recorded, outside the lock.
  void SetCallback(Callback callback);

 private:
  void Record(bool completed, int32_t errorCode, const char* message);

  mutable std::mutex Lock;  // guards Kept and OnFinish
  mutable std::condition_variable Finished;
  CapabilityOutcome Kept;
  Callback OnFinish;
};

}  // namespace hostkit
