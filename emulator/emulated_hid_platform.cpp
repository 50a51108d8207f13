#include "emulator/emulated_hid_platform.h"

#include <algorithm>
#include <thread>

namespace lumbra::emulator {

namespace {
constexpr std::string_view kPathPrefix = "emulated:";

std::string PathOfNode(std::uint32_t node) { return std::string(kPathPrefix) + std::to_string(node); }

// What a device set up as `spec` says of itself, when it says anything.
std::optional<link::HidAttributes> IdentityOf(const DeviceSpec& spec) {
  if (!spec.attributesReadable) return std::nullopt;
  return link::HidAttributes{spec.vendorId, spec.productId, spec.serialNumber};
}
}  // namespace

struct EmulatedHidPlatform::Slot {
  std::size_t index = 0;
  std::uint32_t node = 0;  // its path's number
  DeviceSpec spec;
  std::unique_ptr<QuorvexController> controller;  // null for a foreign device
  bool present = true;
  // Bumped by every unplug, so handles from before it stay dead after a replug.
  std::uint32_t generation = 0;
  std::uint32_t replugCountdown = kNeverReplug;
  std::optional<std::uint32_t> replugAfterRun;  // ReplugAfterRun's, until used
  DeviceCounters counters;
  // Frame model: when the answer to the last line written becomes readable.
  EmulatedHidPlatform::Clock::time_point answerAt{};
};

// One open handle. It stays bound to the plug-in it was opened in.
class EmulatedHidDevice : public link::HidDevice {
 public:
  EmulatedHidDevice(EmulatedHidPlatform& platform, EmulatedHidPlatform::Slot& slot)
      : platform_(platform), slot_(slot), generation_(slot.generation) {
    ++slot_.counters.opens;
  }
  ~EmulatedHidDevice() override {
    const std::lock_guard lock(platform_.mutex_);
    ++slot_.counters.closes;
    if (wrote_ && Alive() && slot_.replugAfterRun) {
      platform_.Unplug(slot_, *slot_.replugAfterRun);
      slot_.replugAfterRun.reset();
    }
  }
  EmulatedHidDevice(const EmulatedHidDevice&) = delete;
  EmulatedHidDevice& operator=(const EmulatedHidDevice&) = delete;

  std::optional<link::HidAttributes> Attributes() override {
    const std::lock_guard lock(platform_.mutex_);
    if (!Alive()) return std::nullopt;
    return IdentityOf(slot_.spec);
  }

  std::optional<link::ReportLengths> Capabilities() override {
    const std::lock_guard lock(platform_.mutex_);
    if (!Alive() || !slot_.spec.capabilitiesReadable) return std::nullopt;
    return slot_.spec.capabilities;
  }

  bool WriteReport(std::span<const std::uint8_t> report) override {
    std::unique_lock lock(platform_.mutex_);
    ++slot_.counters.writes;
    // The device takes whole reports of its output length with report ID 0 only.
    if (!Alive() || report.size() != slot_.spec.capabilities.output || report[0] != 0) return false;
    if (platform_.frameModel_) {
      const auto done = platform_.NextFrame(EmulatedHidPlatform::Clock::now());
      if (!SleepUntil(lock, done)) return false;  // unplugged while the report waited for its frame
      slot_.answerAt = done + EmulatedHidPlatform::kFrame;
    }
    QuorvexController* controller = slot_.controller.get();
    if (controller == nullptr) return true;
    const std::span<const std::uint8_t> data = report.subspan(1);
    if (controller->FailWriteAttempt(data)) return false;
    wrote_ = true;
    controller->ReceiveReport(data);
    if (std::optional<std::uint32_t> replugAfter = controller->TakeUnplugRequest()) {
      platform_.Unplug(slot_, *replugAfter);
    }
    return true;
  }

  link::ReadOutcome ReadReport(std::span<std::uint8_t> report, int timeoutMs) override {
    std::unique_lock lock(platform_.mutex_);
    if (!Alive() || report.empty()) return link::ReadOutcome::kFailed;
    if (platform_.frameModel_ && EmulatedHidPlatform::Clock::now() < slot_.answerAt) {
      // The answer is still on its way: a look without waiting finds nothing.
      if (timeoutMs == 0) return link::ReadOutcome::kTimeout;
      if (!SleepUntil(lock, slot_.answerAt)) return link::ReadOutcome::kFailed;
    }
    QuorvexController* controller = slot_.controller.get();
    if (controller != nullptr && controller->PollReport(report.subspan(1))) {
      return link::ReadOutcome::kReport;
    }
    // Nothing will arrive. A look without waiting (the link's discarding of
    // stale reports) is no time-out.
    if (timeoutMs > 0) ++slot_.counters.timeouts;
    return link::ReadOutcome::kTimeout;
  }

  link::HidError LastError() const override {
    const std::lock_guard lock(platform_.mutex_);
    return {Alive() ? link::HidFault::kOther : link::HidFault::kGone, 0};
  }

 private:
  bool Alive() const { return slot_.present && slot_.generation == generation_; }
  // Sleeps until `at` without holding the platform's lock; false when the
  // device was unplugged meanwhile.
  bool SleepUntil(std::unique_lock<std::mutex>& lock, EmulatedHidPlatform::Clock::time_point at) {
    lock.unlock();
    std::this_thread::sleep_until(at);
    lock.lock();
    return Alive();
  }

  EmulatedHidPlatform& platform_;
  EmulatedHidPlatform::Slot& slot_;
  std::uint32_t generation_;
  bool wrote_ = false;
};

EmulatedHidPlatform::EmulatedHidPlatform() = default;
EmulatedHidPlatform::~EmulatedHidPlatform() = default;

EmulatedHidPlatform::Slot& EmulatedHidPlatform::Add(DeviceSpec spec,
                                                   std::unique_ptr<QuorvexController> controller) {
  // Whole before it is seen: another thread may be enumerating.
  auto slot = std::make_unique<Slot>();
  slot->spec = spec;
  slot->controller = std::move(controller);
  const std::lock_guard lock(mutex_);
  slot->index = slots_.size();
  slot->node = nextNode_++;
  slots_.push_back(std::move(slot));
  return *slots_.back();
}

QuorvexController& EmulatedHidPlatform::AddController(ControllerOptions options, DeviceSpec spec) {
  return *Add(spec, std::make_unique<QuorvexController>(std::move(options))).controller;
}

std::size_t EmulatedHidPlatform::AddForeign(DeviceSpec spec) { return Add(spec, nullptr).index; }

QuorvexController* EmulatedHidPlatform::ControllerAt(std::size_t index) {
  return slots_.at(index)->controller.get();
}

std::string EmulatedHidPlatform::PathOf(std::size_t index) const {
  const std::lock_guard lock(mutex_);
  return PathOfNode(slots_.at(index)->node);
}

const DeviceCounters& EmulatedHidPlatform::Counters(std::size_t index) const {
  return slots_.at(index)->counters;
}

std::uint32_t EmulatedHidPlatform::OpenForeignHandles() const {
  std::uint32_t open = 0;
  for (const auto& slot : slots_) {
    if (!slot->controller) open += slot->counters.OpenHandles();
  }
  return open;
}

void EmulatedHidPlatform::Unplug(std::size_t index, std::uint32_t replugAfter) {
  const std::lock_guard lock(mutex_);
  Unplug(*slots_.at(index), replugAfter);
}

void EmulatedHidPlatform::Replug(std::size_t index) {
  const std::lock_guard lock(mutex_);
  Replug(*slots_.at(index));
}

void EmulatedHidPlatform::ReplugAtNewPaths() {
  const std::lock_guard lock(mutex_);
  replugAtNewPaths_ = true;
}

std::uint64_t EmulatedHidPlatform::PausedMs() const {
  const std::lock_guard lock(mutex_);
  return pausedMs_;
}

std::uint32_t EmulatedHidPlatform::Enumerations() const {
  const std::lock_guard lock(mutex_);
  return enumerations_;
}

void EmulatedHidPlatform::UseFrameModel() {
  const std::lock_guard lock(mutex_);
  frameModel_ = true;
  epoch_ = Clock::now();
}

EmulatedHidPlatform::Clock::time_point EmulatedHidPlatform::NextFrame(Clock::time_point now) const {
  return epoch_ + kFrame * ((now - epoch_) / kFrame + 1);
}

void EmulatedHidPlatform::ReplugAfterRun(std::size_t index, std::uint32_t awayFor) {
  const std::lock_guard lock(mutex_);
  slots_.at(index)->replugAfterRun = awayFor;
}

void EmulatedHidPlatform::Unplug(Slot& slot, std::uint32_t replugAfter) {
  if (!slot.present) return;
  slot.present = false;
  ++slot.generation;
  slot.replugCountdown = replugAfter;
}

void EmulatedHidPlatform::Replug(Slot& slot) {
  if (slot.present) return;
  slot.present = true;
  slot.replugCountdown = kNeverReplug;
  if (replugAtNewPaths_) slot.node = nextNode_++;
  // Plugged in again means powered up again.
  if (slot.controller) slot.controller->Reset();
}

std::vector<std::string> EmulatedHidPlatform::Enumerate() {
  const std::lock_guard lock(mutex_);
  ++enumerations_;
  std::vector<std::string> paths;
  paths.reserve(slots_.size());
  for (const auto& slot : slots_) {
    if (!slot->present && slot->replugCountdown != kNeverReplug) {
      if (slot->replugCountdown == 0) {
        Replug(*slot);
      } else {
        --slot->replugCountdown;
      }
    }
    if (slot->present) paths.push_back(PathOfNode(slot->node));
  }
  return paths;
}

EmulatedHidPlatform::Slot* EmulatedHidPlatform::Find(const std::string& path) {
  for (const auto& slot : slots_) {
    if (slot->present && PathOfNode(slot->node) == path) return slot.get();
  }
  return nullptr;
}

link::HidPlatform::Opened EmulatedHidPlatform::Open(const std::string& path) {
  const std::lock_guard lock(mutex_);
  Slot* slot = Find(path);
  if (slot == nullptr) return {nullptr, {link::HidFault::kAbsent, 0}};
  if (!slot->spec.opens) return {nullptr, {link::HidFault::kAccessDenied, 0}};
  return {std::make_unique<EmulatedHidDevice>(*this, *slot), {}};
}

std::optional<link::HidAttributes> EmulatedHidPlatform::Identify(const std::string& path) {
  const std::lock_guard lock(mutex_);
  const Slot* slot = Find(path);
  if (slot == nullptr) return std::nullopt;
  return IdentityOf(slot->spec);
}

std::string EmulatedHidPlatform::Port(const std::string& path) {
  const std::lock_guard lock(mutex_);
  const Slot* slot = Find(path);
  if (slot == nullptr || !slot->spec.tellsPort) return path;
  return "emulated-port:" + std::to_string(slot->index);
}

void EmulatedHidPlatform::Pause(int milliseconds) {
  std::unique_lock lock(mutex_);
  pausedMs_ += static_cast<std::uint64_t>(std::max(milliseconds, 0));
  if (!frameModel_) return;
  lock.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace lumbra::emulator
