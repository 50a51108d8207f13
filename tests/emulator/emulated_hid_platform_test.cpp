#include "emulator/emulated_hid_platform.h"

#include <gtest/gtest.h>

#include "link/hid_link.h"
#include "wire.h"

namespace lumbra::emulator {
namespace {

class StatusLine : public link::TextTarget {
 public:
  void SetText(std::string_view text) override { last = text; }
  std::string last;
};

class PlatformTest : public ::testing::Test {
 protected:
  PlatformTest() { link.m_pStatusWnd = &status; }

  std::string Ask(const std::string& line) {
    link.SendLine(line);
    link.ReadReply();
    return link.m_ReplyText;
  }

  EmulatedHidPlatform platform;
  StatusLine status;
  link::HidLink link{platform};
};

std::array<std::uint8_t, kReportLength> OutputReport(std::string_view line) {
  std::array<std::uint8_t, kReportLength> report{};
  std::copy(line.begin(), line.end(), report.begin() + 1);
  report[line.size() + 1] = '\r';
  return report;
}

// --- The real link over the emulated controller ---------------------------------

TEST_F(PlatformTest, LinkHandshakesAndGetsHexAnswers) {
  QuorvexController& controller = platform.AddController();
  EXPECT_EQ(Ask("service.on"), "SERVICE ON\r\n");
  EXPECT_EQ(status.last, link::kDetected);
  EXPECT_EQ(Ask("xscr 5 6 5057585906"), "52454144594B\r\n");
  EXPECT_EQ(Ask("xscr 8 3 5057303030303037"), "4F4B04\r\n");
  EXPECT_EQ(controller.Transcript().front().line, "service.on");
  EXPECT_EQ(platform.ElapsedMs(), 0u) << "every answer was there at once";
}

TEST_F(PlatformTest, ReadWithNothingQueuedTimesOutAtOnceInSimulatedTime) {
  platform.AddController();
  link.SendLine("xscr 19 0 50580253E9AF84758401E4F5C875CA0675CBB5");  // no answer
  EXPECT_FALSE(link.ReadReply());
  EXPECT_EQ(link.LastMessage(), link::kReadTimedOut);
  EXPECT_EQ(status.last, link::kCantRead);
  EXPECT_EQ(platform.ElapsedMs(), static_cast<std::uint64_t>(link::kReadTimeoutMs));
  link.Pause(2);
  EXPECT_EQ(platform.PausedMs(), 2u);
  EXPECT_EQ(platform.ElapsedMs(), link::kReadTimeoutMs + 2u);
}

// --- Enumeration, foreign devices and handles ----------------------------------

TEST_F(PlatformTest, LinkOpensTheFirstControllerAndClosesEveryForeignHandle) {
  const std::size_t mouse = platform.AddForeign({.vendorId = 0x046D, .productId = 0xC077});
  const std::size_t locked = platform.AddForeign({.vendorId = 0x4242, .productId = 0xC003, .opens = false});
  const std::size_t mute = platform.AddForeign({.attributesReadable = false});
  const std::size_t noCaps = platform.AddForeign({.capabilitiesReadable = false});
  const std::size_t wide = platform.AddForeign({.capabilities = {66, 66}});
  QuorvexController& first = platform.AddController();
  QuorvexController& second = platform.AddController();

  EXPECT_EQ(Ask("service.on"), "SERVICE ON\r\n");
  EXPECT_EQ(platform.OpenForeignHandles(), 0u);
  for (std::size_t i : {mouse, mute, noCaps, wide}) {
    EXPECT_EQ(platform.Counters(i).opens, 1u) << i;
    EXPECT_EQ(platform.Counters(i).writes, 0u) << i;
  }
  EXPECT_EQ(platform.Counters(locked).openAttempts, 1u);
  EXPECT_EQ(platform.Counters(locked).opens, 0u);
  EXPECT_EQ(platform.Counters(platform.IndexOf(first)).OpenHandles(), 1u);
  EXPECT_EQ(platform.Counters(platform.IndexOf(second)).openAttempts, 0u);
  EXPECT_EQ(second.Counters().frames, 0u);
  EXPECT_EQ(platform.Enumerate(),
            (std::vector<std::string>{"emulated:0", "emulated:1", "emulated:2", "emulated:3",
                                      "emulated:4", "emulated:5", "emulated:6"}));
}


TEST_F(PlatformTest, DeviceTakesOnlyWholeReportsWithReportIdZero) {
  platform.AddController();
  auto device = platform.Open("emulated:0");
  auto report = OutputReport("service.on");
  EXPECT_FALSE(device->WriteReport(std::span(report).first(64)));
  report[0] = 1;
  EXPECT_FALSE(device->WriteReport(report));
  report[0] = 0;
  EXPECT_TRUE(device->WriteReport(report));
  std::array<std::uint8_t, kReportLength> input{};
  EXPECT_EQ(device->ReadReport(input, 6000), link::ReadOutcome::kReport);
  EXPECT_EQ(wire::TextOf(std::span(input).subspan(1)), "SERVICE ON");
  EXPECT_EQ(platform.Counters(0).failedWrites, 2u);
}

// --- Transport faults ----------------------------------------------------------

TEST_F(PlatformTest, LateAnswerArrivesAtTheReadAfterTheTimeout) {
  QuorvexController& controller = platform.AddController();
  controller.AddFault(Fault::LateAnswer(1));
  link.SendLine("service.on");
  EXPECT_FALSE(link.ReadReply());
  EXPECT_FALSE(link.m_bOpen);
  // The answer waited in the device; the reopened link finds it.
  EXPECT_TRUE(link.ReadReply());
  EXPECT_EQ(link.m_ReplyText, "SERVICE ON\r\n");
}


TEST_F(PlatformTest, UnplugFailsTheHandleAndReplugComesBackReset) {
  QuorvexController& controller = platform.AddController();
  controller.AddFault(Fault::Unplug(2, 1));
  EXPECT_EQ(Ask("service.on"), "SERVICE ON\r\n");
  EXPECT_TRUE(link.SendLine(wire::StartDownload())) << "the frame went out before the plug did";
  EXPECT_FALSE(link.ReadReply());
  EXPECT_EQ(link.LastMessage(), link::kUndefinedError);
  EXPECT_FALSE(platform.Present(0));
  const std::uint32_t enumerations = platform.Enumerations();

  EXPECT_FALSE(link.SendLine(wire::StartDownload())) << "gone for one enumeration";
  EXPECT_EQ(status.last, link::kNotDetected);
  EXPECT_EQ(platform.Enumerations(), enumerations + 1);
  EXPECT_EQ(Ask("service.on"), "SERVICE ON\r\n") << "back at the next";
  EXPECT_TRUE(platform.Present(0));
  EXPECT_EQ(controller.Transcript().back().frame, 1u) << "replugged means powered up afresh";
  EXPECT_EQ(platform.Counters(0).OpenHandles(), 1u);
}

TEST_F(PlatformTest, HandleFromBeforeAnUnplugStaysDeadAfterTheReplug) {
  platform.AddController();
  auto old = platform.Open("emulated:0");
  platform.Unplug(0);
  EXPECT_EQ(platform.Enumerate(), std::vector<std::string>{});
  EXPECT_EQ(platform.Open("emulated:0"), nullptr);
  platform.Replug(0);
  auto fresh = platform.Open("emulated:0");
  ASSERT_NE(fresh, nullptr);
  const auto report = OutputReport("service.on");
  std::array<std::uint8_t, kReportLength> input{};
  EXPECT_FALSE(old->WriteReport(report));
  EXPECT_EQ(old->ReadReport(input, 6000), link::ReadOutcome::kFailed);
  EXPECT_FALSE(old->Attributes().has_value());
  EXPECT_TRUE(fresh->WriteReport(report));
  EXPECT_EQ(fresh->ReadReport(input, 6000), link::ReadOutcome::kReport);
}


}  // namespace
}  // namespace lumbra::emulator
