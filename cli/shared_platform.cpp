#include "cli/shared_platform.h"

#include <algorithm>
#include <cstdio>

#include "link/device_ids.h"
#include "link/hid_link.h"
#include "transfer/transfer_controller.h"

namespace lumbra::cli {

namespace {

bool MayWrite(const link::HidAttributes& attributes) {
  return link::PolicyAllows(transfer::PolicyForImage(), attributes);
}

bool Contains(const std::vector<std::string>& paths, const std::string& path) {
  return std::find(paths.begin(), paths.end(), path) != paths.end();
}

// What went wrong on a device, with the system's error code.
std::string Describe(const link::HidError& error) {
  std::string text;
  switch (error.fault) {
    case link::HidFault::kAbsent: text = "no such device"; break;
    case link::HidFault::kAccessDenied: text = "access denied"; break;
    case link::HidFault::kGone: text = "device gone"; break;
    case link::HidFault::kOther: text = "failed"; break;
  }
  return text + " (os error " + std::to_string(error.osCode) + ")";
}

// Tells what went wrong on a device.
class VerboseDevice final : public link::HidDevice {
 public:
  VerboseDevice(std::unique_ptr<link::HidDevice> device, PinnedPlatform::Log log)
      : device_(std::move(device)), log_(std::move(log)) {}

  std::optional<link::HidAttributes> Attributes() override { return device_->Attributes(); }
  std::optional<link::ReportLengths> Capabilities() override { return device_->Capabilities(); }
  link::HidError LastError() const override { return device_->LastError(); }
  bool WriteReport(std::span<const std::uint8_t> report) override {
    if (device_->WriteReport(report)) return true;
    log_("write failed: " + Describe(device_->LastError()));
    return false;
  }
  link::ReadOutcome ReadReport(std::span<std::uint8_t> report, int timeoutMs) override {
    const link::ReadOutcome outcome = device_->ReadReport(report, timeoutMs);
    if (outcome == link::ReadOutcome::kFailed) log_("read failed: " + Describe(device_->LastError()));
    if (outcome == link::ReadOutcome::kTimeout && timeoutMs > 0) {
      log_("no answer within " + std::to_string(timeoutMs) + " ms");
    }
    return outcome;
  }

 private:
  std::unique_ptr<link::HidDevice> device_;
  PinnedPlatform::Log log_;
};

}  // namespace

std::string VendorProduct(const link::HidAttributes& attributes) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", attributes.vendorId, attributes.productId);
  return text;
}

std::vector<Controller> SharedPlatform::ListControllers() {
  // No claims to hold the list against.
  return List(platform_.Enumerate());
}

std::vector<Controller> SharedPlatform::Arrivals(std::vector<std::string>* gone) {
  const std::lock_guard lock(mutex_);
  std::vector<std::string> paths = platform_.Enumerate();
  std::erase_if(claimed_, [&](const std::string& path) {
    const bool ended = !pinned_.contains(path) && !Contains(paths, path);
    if (ended && gone != nullptr) gone->push_back(path);
    return ended;
  });
  std::erase_if(paths, [&](const std::string& path) { return claimed_.contains(path); });
  return List(paths);
}

std::vector<Controller> SharedPlatform::List(const std::vector<std::string>& paths) {
  std::vector<Controller> found;
  for (const std::string& path : paths) {
    // Devices the system names as something else are not opened at all (the
    // station looks several times a second).
    const std::optional<link::HidAttributes> named = platform_.Identify(path);
    if (named && !link::IsQuorvex(named->vendorId, named->productId)) continue;
    // One not ours to open is known as a controller by what the system says.
    const link::Examined examined = link::Examine(platform_, path);
    if (!examined.IsController()) continue;
    found.push_back({path, platform_.Port(path), *examined.attributes,
                     examined.device ? examined.device->Capabilities() : std::nullopt,
                     examined.device != nullptr, MayWrite(*examined.attributes)});
  }
  return found;
}

bool SharedPlatform::Claim(const std::string& path) {
  const std::lock_guard lock(mutex_);
  if (!claimed_.insert(path).second) return false;
  pinned_.insert(path);
  return true;
}

PinnedPlatform::PinnedPlatform(SharedPlatform& shared, std::string path, std::string port,
                               std::string serial, Log verbose)
    : shared_(shared), path_(std::move(path)), port_(std::move(port)), serial_(std::move(serial)),
      verbose_(std::move(verbose)) {}

PinnedPlatform::~PinnedPlatform() {
  const std::lock_guard lock(shared_.mutex_);
  if (auto it = shared_.pinned_.find(path_); it != shared_.pinned_.end()) shared_.pinned_.erase(it);
}

std::optional<link::HidAttributes> PinnedPlatform::Identify(const std::string& path) {
  if (path != path_) return std::nullopt;
  return shared_.platform_.Identify(path);
}

void PinnedPlatform::Repin(const std::string& path, const char* by) {
  if (auto it = shared_.pinned_.find(path_); it != shared_.pinned_.end()) shared_.pinned_.erase(it);
  shared_.claimed_.insert(path);
  shared_.pinned_.insert(path);
  if (verbose_) verbose_("now at " + path + " (same " + by + ")");
  path_ = path;
}

std::vector<std::string> PinnedPlatform::Enumerate() {
  const std::lock_guard lock(shared_.mutex_);
  const std::vector<std::string> paths = shared_.platform_.Enumerate();
  if (!path_.empty() && Contains(paths, path_)) return {path_};
  // Gone from its path. Its port, where the system tells one, is where it
  // comes back, whatever another controller's serial number says; without
  // one, a controller without a serial number cannot be told from another
  // one, so it is followed only to its own path.
  const bool byPort = !port_.empty() && port_ != path_;
  if (!byPort && serial_.empty()) return {};
  std::optional<std::string> match;
  for (const std::string& path : paths) {
    if (shared_.claimed_.contains(path)) continue;
    if (byPort && shared_.platform_.Port(path) != port_) continue;
    // Only one it can open: the run is to write to it.
    const link::Examined examined = link::Examine(shared_.platform_, path);
    if (!examined.device || !examined.IsController() ||
        (!byPort && examined.attributes->serialNumber != serial_)) {
      continue;
    }
    if (match) return {};  // two candidates: neither is known to be ours
    match = path;
  }
  if (!match) return {};
  Repin(*match, byPort ? "port" : "serial number");
  return {path_};
}

link::HidPlatform::Opened PinnedPlatform::Open(const std::string& path) {
  Opened opened{nullptr, {link::HidFault::kAbsent, 0}};
  if (path == path_) opened = shared_.platform_.Open(path);
  if (!opened.device) {
    if (verbose_) verbose_("cannot open " + path + ": " + Describe(opened.error));
    return opened;
  }
  if (++opens_ > 1 && verbose_) verbose_("reconnected (" + std::to_string(opens_ - 1) + ")");
  if (verbose_) opened.device = std::make_unique<VerboseDevice>(std::move(opened.device), verbose_);
  return opened;
}

}  // namespace lumbra::cli
