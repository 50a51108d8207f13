// The link over devices whose every answer comes from the fuzzer: report
// lengths, identifiers, write results and the bytes and outcome of each read.
// Whatever arrives, the reply text is the report's text up to its first zero
// byte plus the line end, an unanswered read leaves it alone, and written
// reports have the device's output length with the line where it belongs.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "link/device_ids.h"
#include "link/hid_link.h"

namespace hid = lumbra::link;

namespace {

struct FuzzDevice {
  bool present = true;
  bool opens = true;
  hid::HidAttributes attributes;
  bool attributesReadable = true;
  bool capsReadable = true;
  hid::ReportLengths caps;
  int openHandles = 0;
};

class FuzzPlatform;

class FuzzHandle : public hid::HidDevice {
 public:
  FuzzHandle(FuzzPlatform& platform, FuzzDevice& device);
  ~FuzzHandle() override { --device_.openHandles; }
  std::optional<hid::HidAttributes> Attributes() override {
    if (!device_.attributesReadable) return std::nullopt;
    return device_.attributes;
  }
  std::optional<hid::ReportLengths> Capabilities() override {
    if (!device_.capsReadable) return std::nullopt;
    return device_.caps;
  }
  bool WriteReport(std::span<const std::uint8_t> report) override;
  hid::ReadOutcome ReadReport(std::span<std::uint8_t> report, int timeoutMs) override;

 private:
  FuzzPlatform& platform_;
  FuzzDevice& device_;
};

class FuzzPlatform : public hid::HidPlatform {
 public:
  explicit FuzzPlatform(FuzzedDataProvider& fdp) : fdp(fdp) {}

  std::vector<std::string> Enumerate() override {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].present) paths.push_back(std::to_string(i));
    }
    return paths;
  }
  std::unique_ptr<hid::HidDevice> Open(const std::string& path) override {
    FuzzDevice& device = devices.at(std::stoul(path));
    if (!device.opens || !device.present) return nullptr;
    return std::make_unique<FuzzHandle>(*this, device);
  }
  void Pause(int) override {}

  FuzzedDataProvider& fdp;
  std::vector<FuzzDevice> devices;
  std::vector<std::vector<std::uint8_t>> written;
  // What the last completed read delivered (data bytes after the report ID).
  std::vector<std::uint8_t> lastReport;
  bool lastReadDelivered = false;
};

FuzzHandle::FuzzHandle(FuzzPlatform& platform, FuzzDevice& device)
    : platform_(platform), device_(device) {
  ++device_.openHandles;
}

bool FuzzHandle::WriteReport(std::span<const std::uint8_t> report) {
  if (!device_.present || platform_.fdp.ConsumeProbability<float>() < 0.1f) return false;
  platform_.written.emplace_back(report.begin(), report.end());
  return true;
}

hid::ReadOutcome FuzzHandle::ReadReport(std::span<std::uint8_t> report, int timeoutMs) {
  // A reply is awaited for the full time; stale reports are looked for without waiting.
  FUZZ_CHECK(timeoutMs == hid::kReadTimeoutMs || timeoutMs == 0);
  FUZZ_CHECK(!report.empty());
  platform_.lastReadDelivered = false;
  const int pick = platform_.fdp.ConsumeIntegralInRange(0, 9);
  if (pick == 0) return hid::ReadOutcome::kTimeout;
  if (pick == 1) return hid::ReadOutcome::kFailed;
  if (pick == 2) {
    device_.present = false;  // unplugged under the read
    return hid::ReadOutcome::kFailed;
  }
  std::vector<std::uint8_t> bytes =
      platform_.fdp.ConsumeBytes<std::uint8_t>(platform_.fdp.ConsumeIntegralInRange<std::size_t>(0, 80));
  // A device fills at most the report it was given, report ID excluded.
  const std::size_t n = std::min(bytes.size(), report.size() - 1);
  std::copy_n(bytes.begin(), n, report.begin() + 1);
  platform_.lastReport.assign(report.begin() + 1, report.end());
  platform_.lastReadDelivered = true;
  return hid::ReadOutcome::kReport;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  FuzzPlatform platform(fdp);
  const std::size_t deviceCount = fdp.ConsumeIntegralInRange<std::size_t>(1, 3);
  for (std::size_t i = 0; i < deviceCount; ++i) {
    FuzzDevice device;
    device.opens = fdp.ConsumeProbability<float>() > 0.1f;
    device.attributesReadable = fdp.ConsumeProbability<float>() > 0.1f;
    device.capsReadable = fdp.ConsumeProbability<float>() > 0.1f;
    if (fdp.ConsumeBool()) {
      device.attributes = {hid::kQuorvexVendorIds[fdp.ConsumeIntegralInRange<std::size_t>(0, 2)],
                           hid::kQuorvexProductIds[fdp.ConsumeIntegralInRange<std::size_t>(0, 2)]};
    } else {
      device.attributes = {fdp.ConsumeIntegral<std::uint16_t>(), fdp.ConsumeIntegral<std::uint16_t>()};
    }
    device.caps = {fdp.ConsumeIntegralInRange<std::size_t>(0, 300),
                   fdp.ConsumeIntegralInRange<std::size_t>(0, 300)};
    platform.devices.push_back(device);
  }

  hid::HidLink link(platform);
  int steps = 0;
  while (fdp.remaining_bytes() > 0 && ++steps < 64) {
    if (fdp.ConsumeBool()) {
      const std::string line = fdp.ConsumeRandomLengthString(80);
      const std::size_t before = platform.written.size();
      const bool sent = link.SendLine(line);
      if (sent) {
        FUZZ_CHECK(link.m_bOpen);
        FUZZ_CHECK(platform.written.size() == before + 1);
        const std::vector<std::uint8_t>& report = platform.written.back();
        FUZZ_CHECK(report.size() == link.Caps().output);
        FUZZ_CHECK(report[0] == 0);
        FUZZ_CHECK(line.size() + 2 <= report.size());
        FUZZ_CHECK(std::memcmp(report.data() + 1, line.data(), line.size()) == 0);
        FUZZ_CHECK(report[line.size() + 1] == 0x0D);
      }
    } else {
      const std::string previous = link.m_ReplyText;
      platform.lastReadDelivered = false;
      const bool arrived = link.ReadReply();
      FUZZ_CHECK(arrived == platform.lastReadDelivered);
      if (arrived) {
        const std::vector<std::uint8_t>& report = platform.lastReport;
        const std::size_t n = static_cast<std::size_t>(
            std::find(report.begin(), report.end(), std::uint8_t{0}) - report.begin());
        FUZZ_CHECK(link.m_ReplyText.size() == n + 2);
        FUZZ_CHECK(std::memcmp(link.m_ReplyText.data(), report.data(), n) == 0);
        FUZZ_CHECK(link.m_ReplyText.compare(n, 2, "\r\n") == 0);
      } else {
        FUZZ_CHECK(link.m_ReplyText == previous);
      }
    }
    // Whatever the link holds must be a controller with lengths it can carry.
    if (link.m_bOpen) {
      FUZZ_CHECK(link.Caps().input >= hid::kMinInputReportLength);
      FUZZ_CHECK(link.Caps().input <= hid::kMaxReportLength);
      FUZZ_CHECK(link.Caps().output >= hid::kMinOutputReportLength);
      FUZZ_CHECK(link.Caps().output <= hid::kMaxReportLength);
    }
    int handles = 0;
    for (const FuzzDevice& device : platform.devices) handles += device.openHandles;
    FUZZ_CHECK(handles <= 1);
  }
  return 0;
}
