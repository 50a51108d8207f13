#include "emulator/emulated_hid_platform.h"

#include <gtest/gtest.h>

#include "support/wire.h"

namespace lumbra::emulator {
namespace {

using link::ReadOutcome;
using Paths = std::vector<std::string>;
using Report = std::array<std::uint8_t, kReportLength>;

// An output report: report ID 0, the line, its carriage return, zero fill.
Report OutputReport(std::string_view line) {
  Report report{};
  std::copy(line.begin(), line.end(), report.begin() + 1);
  report[line.size() + 1] = '\r';
  return report;
}

TEST(EmulatedHidPlatform, DevicesShowWhatTheirSpecSaysAndForeignHandlesAreCounted) {
  EmulatedHidPlatform platform;
  platform.AddForeign({.vendorId = 0x046D, .productId = 0xC077});
  platform.AddForeign({.opens = false});
  platform.AddForeign({.attributesReadable = false, .capabilitiesReadable = false});
  platform.AddController();
  EXPECT_EQ(platform.Enumerate(), (Paths{"emulated:0", "emulated:1", "emulated:2", "emulated:3"}));
  EXPECT_EQ(platform.Open("emulated:1"), nullptr);
  auto mouse = platform.Open("emulated:0");
  const auto mute = platform.Open("emulated:2");
  const auto controller = platform.Open("emulated:3");
  EXPECT_EQ(mouse->Attributes()->productId, 0xC077);
  EXPECT_FALSE(mute->Attributes() || mute->Capabilities());
  mouse.reset();
  EXPECT_EQ(platform.OpenForeignHandles(), 1u) << "the mute device's; a controller's handle is not counted";
}

TEST(EmulatedHidPlatform, UnplugKillsTheHandleForGoodAndTheReplugComesBackReset) {
  EmulatedHidPlatform platform;
  QuorvexController& controller = platform.AddController();
  controller.AddFault(Fault::Unplug(2, 1));
  controller.AddFault(Fault::ExtraReport(3, "4F4B04"));  // frame 3 after the replug: never reached
  auto old = platform.Open("emulated:0");
  const Report report = OutputReport("service.on");
  const Report start = OutputReport(testing::wire::StartDownload());
  Report input{};
  ASSERT_TRUE(old->WriteReport(report));
  EXPECT_TRUE(old->WriteReport(start)) << "the frame goes out before the plug does";

  EXPECT_FALSE(old->WriteReport(report));
  EXPECT_EQ(old->ReadReport(input, 6000), ReadOutcome::kFailed);
  EXPECT_EQ(platform.Open("emulated:0"), nullptr);
  EXPECT_EQ(platform.Enumerate(), Paths{}) << "away for one enumeration";
  EXPECT_EQ(platform.Enumerate(), Paths{"emulated:0"});
  const auto fresh = platform.Open("emulated:0");
  EXPECT_TRUE(fresh->WriteReport(start));
  EXPECT_EQ(fresh->ReadReport(input, 6000), ReadOutcome::kTimeout) << "powered up afresh: no service mode";
  EXPECT_EQ(controller.Transcript().back().frame, 1u) << "and the frames count from 1 again";
  EXPECT_FALSE(old->WriteReport(report)) << "a handle from before the unplug stays dead";
  EXPECT_EQ(old->ReadReport(input, 6000), ReadOutcome::kFailed);
}

}  // namespace
}  // namespace lumbra::emulator
