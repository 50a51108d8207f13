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

// Discovery goes on past every controller it cannot use and, when none is
// usable, names the first reason of: report lengths it cannot carry (each of
// the four bounds, input 2..65 and output 50..65, and lengths unknown), the
// stand-in rule, a controller this user may not open (identified without
// opening it). A locked foreign device is no reason. A usable one behind is found.
TEST(HidLinkDiscovery, UnusableControllersAreSkippedAndTheFirstReasonNamed) {
  using enum ControllerPolicy;
  struct Device {
    const char* serial;
    bool opens = true;
    std::optional<ReportLengths> caps = ReportLengths{65, 65};
  };
  const char* const unsupported = "Quorvex report size not supported";
  const struct { ControllerPolicy policy; std::vector<Device> devices; Discovery end; const char* status; } rows[] = {
      {kAny, {}, Discovery::kNotFound, "Quorvex not detected"},
      {kAny, {{"A1B2C3", true, std::nullopt}}, Discovery::kUnsupported, unsupported},
      {kAny, {{"A1B2C3", true, ReportLengths{66, 65}}}, Discovery::kUnsupported, unsupported},
      {kAny, {{"A1B2C3", true, ReportLengths{65, 66}}}, Discovery::kUnsupported, unsupported},
      {kAny, {{"A1B2C3", true, ReportLengths{65, 49}}}, Discovery::kUnsupported, unsupported},
      {kAny, {{"A1B2C3", true, ReportLengths{1, 65}}}, Discovery::kUnsupported, unsupported},
      {kAny, {{"A1B2C3", false}, {"lumbra-virtual", true, ReportLengths{65, 49}}}, Discovery::kUnsupported,
       unsupported},
      {kVirtualOnly, {{"A1B2C3"}}, Discovery::kRealRefused, "Stand-in image: real controller refused"},
      {kVirtualOnly, {{"A1B2C3", false}}, Discovery::kRealRefused, "Stand-in image: real controller refused"},
      {kAny, {{"A1B2C3", false}}, Discovery::kAccessDenied, "Quorvex detected, access denied"},
      {kVirtualOnly, {{"lumbra-virtual", false}}, Discovery::kAccessDenied, "Quorvex detected, access denied"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("row " + std::to_string(&row - rows));
    Rig rig(row.policy);
    rig.platform.Add(0x046D, 0xC31C).opens = false;  // a keyboard the system keeps
    for (const Device& device : row.devices) {
      ScriptedDevice& added = rig.AddQuorvex(device.serial);
      added.opens = device.opens;
      added.caps = device.caps;
    }
    EXPECT_EQ(rig.link.SendLine("service.on"), SendResult::kLinkLost);
    EXPECT_EQ(rig.link.LastDiscovery(), row.end);
    EXPECT_EQ(rig.texts.back(), row.status);
    ScriptedDevice& good = rig.AddQuorvex("lumbra-virtual");
    EXPECT_EQ(rig.link.SendLine("service.on"), SendResult::kWritten);
    for (const auto& d : rig.platform.devices) {  // only that one was ever held or written to
      EXPECT_EQ(d->openHandles, d.get() == &good ? 1 : 0);
      EXPECT_EQ(d->written.size(), d.get() == &good ? 1u : 0u);
    }
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

// Which reads close the link: a time-out does and a failed read does not; StillOpen's
// probe drops a stale report and closes a device whose probe fails.
TEST_F(HidLinkTest, TimeOutClosesTheLinkAndAFailedReadOrStaleReportDoesNot) {
  EXPECT_FALSE(link.StillOpen());
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

  ASSERT_EQ(link.SendLine("a"), SendResult::kWritten);
  d.waiting = {ReplyOf("late"), {ReadOutcome::kFailed, {}}};
  EXPECT_TRUE(link.StillOpen());
  EXPECT_FALSE(link.StillOpen());
  EXPECT_EQ(d.openHandles, 0);
}

}  // namespace
}  // namespace lumbra::link
