#include "tools/hostkit/capability.h"

#include <sstream>

namespace hostkit {
namespace ipc = korvalt::ipcapture;

namespace {
std::string OrEmpty(const char* text) {
  return text ? text : "";
}
}  // namespace

// Sub-objects write into the owner's report under the owner's lock.
class CapabilityResults::Text : public ipc::ICapabilityText {
 public:
  Text(CapabilityResults& owner, int32_t index) : Owner(owner), Index(index) {}
  void SetText(const char* text) override {
    std::lock_guard<std::mutex> guard(Owner.Lock);
    Owner.Kept.AddressFields[Index] = OrEmpty(text);
  }

 private:
  CapabilityResults& Owner;
  int32_t Index;
};

class CapabilityResults::Parameter : public ipc::ICustomParameterInfo {
 public:
  Parameter(CapabilityResults& owner, int32_t index) : Owner(owner), Index(index) {}
  void SetValue(const char* value) override {
    Update([&](auto& p) { p.Value = OrEmpty(value); });
  }
  void Reserved2() override {}
  void Reserved3() override {}
  void SetType(int32_t type) override {
    Update([&](auto& p) { p.Type = type; });
  }
  void SetName(const char* name) override {
    Update([&](auto& p) { p.Name = OrEmpty(name); });
  }
  void SetAttribute(int32_t value) override {
    Update([&](auto& p) { p.Attribute = value; });
  }

 private:
  template <typename F>
  void Update(F change) {
    std::lock_guard<std::mutex> guard(Owner.Lock);
    change(Owner.Kept.CustomParameters[Index]);
  }
  CapabilityResults& Owner;
  int32_t Index;
};

class CapabilityResults::ResolutionList : public ipc::IResolutionList {
 public:
  explicit ResolutionList(CapabilityResults& owner) : Owner(owner) {}
  void AddResolution(const char* text, int32_t width, int32_t height, int32_t frameInterval) override {
    std::lock_guard<std::mutex> guard(Owner.Lock);
    Owner.Kept.Resolutions.push_back({OrEmpty(text), width, height, frameInterval});
  }

 private:
  CapabilityResults& Owner;
};

class CapabilityResults::IntervalList : public ipc::IFrameIntervalList {
 public:
  IntervalList(CapabilityResults& owner, int32_t which) : Owner(owner), Which(which) {}
  void SetDefaultInterval(int32_t interval) override {
    std::lock_guard<std::mutex> guard(Owner.Lock);
    Owner.Kept.FrameIntervalLists[Which].Default = interval;
  }
  void AddInterval(int32_t interval) override {
    std::lock_guard<std::mutex> guard(Owner.Lock);
    Owner.Kept.FrameIntervalLists[Which].Intervals.push_back(interval);
  }

 private:
  CapabilityResults& Owner;
  int32_t Which;
};

CapabilityResults::CapabilityResults() : Resolutions(std::make_unique<ResolutionList>(*this)) {}
CapabilityResults::~CapabilityResults() = default;

void CapabilityResults::SetProperty(int32_t id, int32_t value) {
  std::lock_guard<std::mutex> guard(Lock);
  Kept.PropertyWrites.emplace_back(id, value);
}

void CapabilityResults::SetName(const char* name) {
  std::lock_guard<std::mutex> guard(Lock);
  Kept.Name = OrEmpty(name);
}

ipc::ICapabilityText* CapabilityResults::GetAddressField(int32_t index) {
  std::lock_guard<std::mutex> guard(Lock);
  auto& text = Texts[index];
  if (!text) text = std::make_unique<Text>(*this, index);
  return text.get();
}

ipc::ICustomParameterInfo* CapabilityResults::GetCustomParameter(int32_t index) {
  std::lock_guard<std::mutex> guard(Lock);
  auto& parameter = Parameters[index];
  if (!parameter) parameter = std::make_unique<Parameter>(*this, index);
  return parameter.get();
}

ipc::IResolutionList* CapabilityResults::GetResolutionList() {
  return Resolutions.get();
}

ipc::IFrameIntervalList* CapabilityResults::GetFrameIntervalList(int32_t which) {
  std::lock_guard<std::mutex> guard(Lock);
  auto& list = IntervalLists[which];
  if (!list) list = std::make_unique<IntervalList>(*this, which);
  return list.get();
}

CapabilityReport CapabilityResults::Report() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Kept;
}

void CapabilityResults::Clear() {
  std::lock_guard<std::mutex> guard(Lock);
  Kept = {};
}

std::optional<int32_t> CapabilityReport::Property(int32_t id) const {
  std::optional<int32_t> value;
  for (const auto& [writtenId, writtenValue] : PropertyWrites) {
    if (writtenId == id) value = writtenValue;
  }
  return value;
}

const CapabilityReport::CustomParameter* CapabilityReport::FindCustomParameter(std::string_view name) const {
  for (const auto& [index, parameter] : CustomParameters) {
    if (parameter.Name && *parameter.Name == name) return &parameter;
  }
  return nullptr;
}

std::string CapabilityPropertyName(int32_t id) {
  switch (id) {
    case ipc::kCapabilityQueried:
      return "queried";
    case ipc::kCapabilityPTZ:
      return "ptz";
    case ipc::kCapabilityInputs:
      return "inputs";
    case ipc::kCapabilityOutputs:
      return "outputs";
    case ipc::kCapabilityAudio:
      return "audio";
    case ipc::kCapabilityMPEG4:
      return "mpeg4";
    case ipc::kCapabilityMJPEG:
      return "mjpeg";
    case ipc::kCapabilityH264:
      return "h264";
    default:
      return "property " + std::to_string(id);
  }
}

std::string FormatReport(const CapabilityReport& report) {
  std::ostringstream out;
  out << "Name:         " << report.Name.value_or("(not set)") << "\n";
  out << "Properties:  ";
  for (const auto& [id, value] : report.PropertyWrites)
    out << " " << CapabilityPropertyName(id) << "=" << value;
  out << "\n";
  const auto field = [&](int32_t index) {
    const auto it = report.AddressFields.find(index);
    return it == report.AddressFields.end() ? std::string("(not set)") : it->second;
  };
  const auto password = report.AddressFields.find(ipc::kAddressFieldPassword);
  out << "Address:      " << field(ipc::kAddressFieldAddress) << ":" << field(ipc::kAddressFieldPort)
      << ", user \"" << field(ipc::kAddressFieldUserName) << "\", password "
      << (password == report.AddressFields.end() ? "(not set)"
          : password->second.empty()             ? "(empty)"
                                                 : "(set)")
      << "\n";
  out << "Resolutions: ";
  for (const auto& r : report.Resolutions) {
    out << " " << r.Text;
    if (r.FrameInterval != 0) out << "@" << r.FrameInterval << "ms";
  }
  out << "\n";
  for (const auto& [which, list] : report.FrameIntervalLists) {
    out << "Intervals " << which << ":  ";
    for (const int32_t interval : list.Intervals) out << " " << interval;
    out << " ms";
    if (list.Default) out << ", default " << *list.Default << " ms";
    out << "\n";
  }
  for (const auto& [index, p] : report.CustomParameters) {
    out << "Custom " << index << ":     " << p.Name.value_or("(no name)") << " = \"" << p.Value.value_or("")
        << "\"";
    if (p.Type) out << (*p.Type == ipc::kCustomParameterNumber ? " (number)" : " (text)");
    out << "\n";
  }
  return out.str();
}

void CapabilityCallback::QueryCompleted() {
  Record(true, 0, nullptr);
}

void CapabilityCallback::QueryFailed(int32_t errorCode, const char* message) {
  Record(false, errorCode, message);
}

void CapabilityCallback::Record(bool completed, int32_t errorCode, const char* message) {
  Callback callback;
  CapabilityOutcome outcome;
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (completed) {
      ++Kept.Completions;
    } else {
      ++Kept.Failures;
      Kept.ErrorCode = errorCode;
      Kept.Message = OrEmpty(message);
    }
    outcome = Kept;
    callback = OnFinish;
  }
  Finished.notify_all();
  if (callback) callback(outcome);
}

bool CapabilityCallback::Wait(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard(Lock);
  return Finished.wait_for(guard, timeout, [this] { return Kept.Finished(); });
}

CapabilityOutcome CapabilityCallback::Outcome() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Kept;
}

void CapabilityCallback::Reset() {
  std::lock_guard<std::mutex> guard(Lock);
  Kept = {};
}

void CapabilityCallback::SetCallback(Callback callback) {
  std::lock_guard<std::mutex> guard(Lock);
  OnFinish = std::move(callback);
}

}  // namespace hostkit
