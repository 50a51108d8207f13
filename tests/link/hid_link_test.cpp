#include "link/hid_link.h"

#include <gtest/gtest.h>

#include "support/scripted_hid.h"

namespace lumbra::link {
namespace {

using testing::ReplyOf;
using testing::ScriptedDevice;

struct Rig : TextTarget {
  // The tool's longest line has 48 characters.
  explicit Rig(ControllerPolicy policy = ControllerPolicy::kAny) : link(platform, 48, policy) {
    link.SetStatusTarget(this);
  }
  void SetText(std::string_view text) override { texts.emplace_back(text); }
  // A real controller's serial number: kAny takes it.
  ScriptedDevice& AddQuorvex(std::string serial = "A1B2C3") { return platform.Add(0x4242, 0xC003, serial); }

  testing::ScriptedPlatform platform;
  std::vector<std::string> texts;  // the status line's texts, in order
  HidLink link;
};

class HidLinkTest : public ::testing::Test, protected Rig {};

TEST_F(HidLinkTest, FirstControllerWinsAndEverythingElseIsClosed) {
  int opened = 0;
  link.SetOpenedHandler([&] { ++opened; });
  EXPECT_EQ(link.SendLine("a"), SendResult::kLinkLost);
  EXPECT_EQ(texts.back(), "Quorvex not detected");

  platform.Add(0x046D, 0xC31C);  // a keyboard
  platform.Add(0x4242, 0x4242);  // a vendor id alone
  platform.Add(0xC003, 0x4242);  // the two swapped
  AddQuorvex().opens = false;  // e.g. no permission
  AddQuorvex().attributes.reset();  // identifiers that cannot be read
  ScriptedDevice& first = platform.Add(0x0400, 0xC003);  // ids from different rows of the table
  ScriptedDevice& second = platform.Add(0x0614, 0x0400);
  EXPECT_EQ(link.SendLine("a"), SendResult::kWritten);
  EXPECT_EQ(texts.back(), "Quorvex detected");
  for (int i : {0, 1, 2, 4}) EXPECT_EQ(platform.devices[i]->openCount, 1);
  for (const auto& d : platform.devices) EXPECT_EQ(d->openHandles, d.get() == &first ? 1 : 0);
  EXPECT_EQ(first.written.size(), 1u);
  EXPECT_EQ(second.openCount, 0);
  EXPECT_EQ(opened, 1);
}

// Each of the four bounds (input 2..65, output 50..65) once, and lengths unknown.
TEST(HidLinkDiscovery, ReportLengthsOutsideWhatTheLinkCarriesAreRefusedAndDiscoveryGoesOn) {
  const std::optional<ReportLengths> rows[] = {
      std::nullopt, ReportLengths{66, 65}, ReportLengths{65, 66}, ReportLengths{65, 49}, ReportLengths{1, 65}};
  for (const auto& caps : rows) {
    Rig rig;
    ScriptedDevice& refused = rig.AddQuorvex();
    refused.caps = caps;
    EXPECT_EQ(rig.link.SendLine("a"), SendResult::kLinkLost);
    EXPECT_EQ(refused.openHandles, 0);
    EXPECT_EQ(rig.texts.back(), "Quorvex report size not supported");
    ScriptedDevice& good = rig.AddQuorvex();  // a usable one behind it is still found
    EXPECT_EQ(rig.link.SendLine("a"), SendResult::kWritten);
    EXPECT_EQ(good.written.size(), 1u);
  }
}

TEST(HidLinkDiscovery, StandInBuildTakesOnlyTheVirtualController) {
  Rig rig(ControllerPolicy::kVirtualOnly);
  ScriptedDevice& real = rig.AddQuorvex("A1B2C3");
  EXPECT_EQ(rig.link.SendLine("service.on"), SendResult::kLinkLost);
  EXPECT_EQ(rig.link.LastDiscovery(), Discovery::kRealRefused);
  EXPECT_EQ(rig.texts.back(), "Stand-in image: real controller refused");
  ScriptedDevice& virtualOne = rig.AddQuorvex("lumbra-virtual");
  EXPECT_EQ(rig.link.SendLine("service.on"), SendResult::kWritten);
  EXPECT_EQ(virtualOne.written.size(), 1u);
  EXPECT_EQ(real.openHandles, 0);
  EXPECT_TRUE(real.written.empty());
}

// A controller this user may not open (identified without opening it) is
// named as such when nothing usable is found; the stand-in rule and report
// lengths the link cannot carry go first, and a locked foreign device is none.
TEST(HidLinkDiscovery, ALockedControllerEndsInAccessDenied) {
  const struct { ControllerPolicy policy; const char* serial; bool unsupported; Discovery end; const char* status; } rows[] = {
      {ControllerPolicy::kAny, "A1B2C3", false, Discovery::kAccessDenied, "Quorvex detected, access denied"},
      {ControllerPolicy::kVirtualOnly, "lumbra-virtual", false, Discovery::kAccessDenied, "Quorvex detected, access denied"},
      {ControllerPolicy::kVirtualOnly, "A1B2C3", false, Discovery::kRealRefused, "Stand-in image: real controller refused"},
      {ControllerPolicy::kAny, "A1B2C3", true, Discovery::kUnsupported, "Quorvex report size not supported"},
      {ControllerPolicy::kAny, nullptr, false, Discovery::kNotFound, "Quorvex not detected"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.status);
    Rig rig(row.policy);
    rig.platform.Add(0x046D, 0xC31C).opens = false;  // a keyboard the system keeps
    if (row.serial) rig.AddQuorvex(row.serial).opens = false;
    if (row.unsupported) rig.AddQuorvex("lumbra-virtual").caps = ReportLengths{65, 49};
    EXPECT_EQ(rig.link.SendLine("service.on"), SendResult::kLinkLost);
    EXPECT_EQ(rig.link.LastDiscovery(), row.end);
    EXPECT_EQ(rig.texts.back(), row.status);
  }
}

// The smallest lengths carried: L_out 50 holds the longest line (48 characters) and nothing longer.
TEST_F(HidLinkTest, OutputReportIsIdLineCarriageReturnAndZerosToExactlyLOut) {
  ScriptedDevice& d = AddQuorvex();
  d.caps = ReportLengths{2, 50};
  ASSERT_EQ(link.SendLine("service.on"), SendResult::kWritten);
  ASSERT_EQ(link.SendLine("ab"), SendResult::kWritten);  // nothing of the longer line shows
  EXPECT_EQ(link.SendLine(std::string(48, 'x')), SendResult::kWritten);
  EXPECT_EQ(link.SendLine(std::string(49, 'x')), SendResult::kLinkLost);  // longer than the link was made for
  ASSERT_EQ(d.written.size(), 3u);
  const auto written = [&](std::size_t i) { return std::string(d.written[i].begin(), d.written[i].end()); };
  EXPECT_EQ(written(0), std::string("\0service.on\r", 12) + std::string(38, '\0'));  // zeros up to L_out
  EXPECT_EQ(written(1), std::string("\0ab\r", 4) + std::string(46, '\0'));
}

TEST_F(HidLinkTest, ReportsWaitingBeforeALineAreNotTakenForItsAnswer) {
  ScriptedDevice& d = AddQuorvex();
  d.waiting = {ReplyOf("00020A7F77"), ReplyOf("HELLO")};  // a late answer, an unsolicited report
  d.reads = {ReplyOf("4F4B04")};
  ASSERT_EQ(link.SendLine("xscr 8 3 5057303130323430"), SendResult::kWritten);
  EXPECT_EQ(link.ReadReply(), "4F4B04\r\n");
  d.waiting.assign(1000, ReplyOf("X"));  // a device that never stops cannot hold the link up
  EXPECT_EQ(link.SendLine("a"), SendResult::kWritten);
  EXPECT_EQ(d.waiting.size(), 1000u - kMaxStaleReports);
}

TEST(HidLinkSend, FailedWriteIsRetriedOnceOnARediscoveredLink) {
  const struct { int failures; bool unplugged; const char* status; } rows[] = {
      {1, false, "Quorvex detected"}, {2, false, "Can't write to Quorvex"},
      {1, true, "Quorvex not detected"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.status);
    Rig rig;
    ScriptedDevice& d = rig.AddQuorvex();
    ASSERT_EQ(rig.link.SendLine("a"), SendResult::kWritten);
    d.writesToFail = row.failures;
    d.plugged = !row.unplugged;
    const bool written = row.failures == 1 && !row.unplugged;
    EXPECT_EQ(rig.link.SendLine("service.on"), written ? SendResult::kWritten : SendResult::kLinkLost);
    EXPECT_EQ(d.openHandles, written ? 1 : 0);
    EXPECT_EQ(d.openCount, row.unplugged ? 1 : 2);
    EXPECT_EQ(d.written.size(), written ? 2u : 1u);
    EXPECT_EQ(rig.texts.back(), row.status);
  }
}

TEST_F(HidLinkTest, ReplyIsTheReportTextUpToItsFirstZero) {
  ScriptedDevice& d = AddQuorvex();
  d.caps = ReportLengths{9, 65};
  d.reads = {ReplyOf("SERVICE"), ReplyOf("123456789"),  // its zero does not fit the 8 data bytes
             {ReadOutcome::kReport, {0x00, 'Z'}}, {ReadOutcome::kReport, {}}};
  EXPECT_EQ(link.ReadReply(), "SERVICE\r\n");  // a read opens a closed link
  EXPECT_EQ(link.ReadReply(), "12345678\r\n");  // no zero: all L_in - 1 characters
  EXPECT_EQ(link.ReadReply(), "\r\n");
  EXPECT_EQ(link.ReadReply(), "i\r\n");  // no data: the cleared buffer's preset, nothing older
}

TEST_F(HidLinkTest, TimeOutClosesTheLinkAndAFailedReadDoesNot) {
  ScriptedDevice& d = AddQuorvex();
  d.reads = {{ReadOutcome::kFailed, {'X'}}};
  ASSERT_EQ(link.SendLine("a"), SendResult::kWritten);
  const std::size_t shown = texts.size();
  EXPECT_EQ(link.ReadReply(), std::nullopt);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(texts.size(), shown);
  EXPECT_EQ(link.ReadReply(), std::nullopt);  // nothing queued: time-out
  EXPECT_EQ(d.openHandles, 0);
  EXPECT_EQ(std::vector(texts.begin() + shown, texts.end()),
            (std::vector<std::string>{"ReadFile timeout", "Can't read from Quorvex"}));
}

TEST_F(HidLinkTest, StillOpenDropsAStaleReportAndClosesADeviceWhoseProbeFails) {
  EXPECT_FALSE(link.StillOpen());
  ScriptedDevice& d = AddQuorvex();
  ASSERT_EQ(link.SendLine("a"), SendResult::kWritten);
  d.waiting = {ReplyOf("late"), {ReadOutcome::kFailed, {}}};
  EXPECT_TRUE(link.StillOpen());
  EXPECT_FALSE(link.StillOpen());
  EXPECT_EQ(d.openHandles, 0);
}

}  // namespace
}  // namespace lumbra::link
