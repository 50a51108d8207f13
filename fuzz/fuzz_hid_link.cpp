// The link over scripted devices whose identifiers, serial numbers, report
// lengths, plugging, write results and reads all come from the fuzzer.
// Whatever happens, the link holds at most one device, and only a controller
// the policy admits with report lengths it carries; a written report is
// report ID 0, the line, CR and zeros up to that device's output length.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "fuzz_check.h"
#include "link/device_ids.h"
#include "link/hid_link.h"
#include "protocol/command_frame.h"
#include "support/scripted_hid.h"

namespace hid = lumbra::link;
using lumbra::testing::ScriptedDevice;
using lumbra::protocol::kLongestLine;
using lumbra::testing::ScriptedPlatform;

static lumbra::testing::ScriptedRead Read(FuzzedDataProvider& fdp) {
  using enum hid::ReadOutcome;
  const auto outcome = fdp.PickValueInArray({kReport, kReport, kTimeout, kFailed});
  return {outcome, fdp.ConsumeBytes<std::uint8_t>(fdp.ConsumeIntegralInRange<std::size_t>(0, 80))};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  ScriptedPlatform platform;
  for (int n = fdp.ConsumeIntegralInRange(1, 3); n > 0; --n) {
    const bool ours = fdp.ConsumeBool();
    const auto id = [&](const auto& ids) {
      return ours ? fdp.PickValueInArray(ids) : fdp.ConsumeIntegral<std::uint16_t>();
    };
    const std::uint16_t vid = id(hid::kQuorvexVendorIds);
    const std::uint16_t pid = id(hid::kQuorvexProductIds);
    ScriptedDevice& d = platform.Add(vid, pid, fdp.ConsumeBool() ? "lumbra-virtual" : "A1B2C3");
    d.opens = fdp.ConsumeIntegralInRange(0, 9) > 0;
    if (fdp.ConsumeIntegralInRange(0, 9) == 0) d.attributes.reset();
    // Around the limits: input 2..65 and output 50..65 are carried.
    d.caps = hid::ReportLengths{fdp.ConsumeIntegralInRange<std::size_t>(0, 70),
                                fdp.ConsumeIntegralInRange<std::size_t>(40, 70)};
    if (fdp.ConsumeIntegralInRange(0, 9) == 0) d.caps.reset();
  }
  const auto policy = fdp.ConsumeBool() ? hid::ControllerPolicy::kVirtualOnly : hid::ControllerPolicy::kAny;
  hid::HidLink link(platform, kLongestLine, policy);

  for (int step = 0; step < 64 && fdp.remaining_bytes() > 0; ++step) {
    for (auto& d : platform.devices) {  // what each device does during this step
      d->writesToFail = std::max(0, fdp.ConsumeIntegralInRange(-8, 2));
      d->waiting.clear();
      for (int i = fdp.ConsumeIntegralInRange(0, 2); i > 0; --i) d->waiting.push_back(Read(fdp));
      d->reads = {Read(fdp)};
      d->written.clear();
    }
    const int action = fdp.ConsumeIntegralInRange(0, 3);
    if (action == 0) {
      const std::string line = fdp.ConsumeRandomLengthString(kLongestLine);
      const hid::SendResult result = link.SendLine(line);
      FUZZ_CHECK(link.IsOpen() == (result != hid::SendResult::kLinkLost));
      for (const auto& d : platform.devices) {  // one report, to the held device, when written
        const bool held = d->openHandles > 0;
        FUZZ_CHECK(d->written.size() == (held && result == hid::SendResult::kWritten ? 1u : 0u));
        if (!held || result != hid::SendResult::kWritten) continue;
        std::string expected = '\0' + line + '\r';
        expected.resize(d->caps->output, '\0');
        FUZZ_CHECK(std::string(d->written[0].begin(), d->written[0].end()) == expected);
      }
    } else if (action == 1) {
      FUZZ_CHECK(!link.ReadReply() || link.IsOpen());
    } else if (action == 2) {
      const bool wasOpen = link.IsOpen();
      FUZZ_CHECK(link.StillOpen() == link.IsOpen() && (wasOpen || !link.IsOpen()));
    } else {  // plug a device in or out
      ScriptedDevice& d = *platform.devices[fdp.ConsumeIntegralInRange<std::size_t>(0, platform.devices.size() - 1)];
      d.plugged = !d.plugged;
    }
    // What the link holds is a controller the policy admits, with lengths it carries.
    int held = 0;
    for (const auto& d : platform.devices) {
      held += d->openHandles;
      const bool virtualOne = d->attributes && d->attributes->serialNumber == "lumbra-virtual";
      FUZZ_CHECK(policy == hid::ControllerPolicy::kAny || d->written.empty() || virtualOne);
      if (d->openHandles == 0) continue;
      FUZZ_CHECK(d->attributes && hid::IsQuorvex(d->attributes->vendorId, d->attributes->productId));
      FUZZ_CHECK(d->caps && d->caps->input >= 2 && d->caps->input <= 65);
      FUZZ_CHECK(d->caps->output >= 50 && d->caps->output <= 65);
    }
    FUZZ_CHECK(held == (link.IsOpen() ? 1 : 0));
  }
  return 0;
}
