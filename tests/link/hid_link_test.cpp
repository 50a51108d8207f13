#include "link/hid_link.h"

#include <gtest/gtest.h>

#include "link/device_ids.h"
#include "support/scripted_hid.h"

namespace lumbra::link {
namespace {

using testing::ReplyOf;
using testing::ScriptedDevice;
using testing::ScriptedPlatform;

class StatusLine : public TextTarget {
 public:
  void SetText(std::string_view text) override { texts.emplace_back(text); }
  std::string Last() const { return texts.empty() ? "" : texts.back(); }
  std::vector<std::string> texts;
};

class HidLinkTest : public ::testing::Test {
 protected:
  HidLinkTest() { link.m_pStatusWnd = &status; }
  ScriptedDevice& AddQuorvex() { return platform.Add(0x4242, 0xC003); }

  ScriptedPlatform platform;
  StatusLine status;
  HidLink link{platform};
};

// --- Discovery -------------------------------------------------------------

TEST(DeviceIds, EveryListedVendorMatchesEveryListedProduct) {
  for (auto vid : kQuorvexVendorIds)
    for (auto pid : kQuorvexProductIds) EXPECT_TRUE(IsQuorvex(vid, pid)) << vid << ":" << pid;
  EXPECT_FALSE(IsQuorvex(0x4242, 0x4242));
  EXPECT_FALSE(IsQuorvex(0xC003, 0x4242));
  EXPECT_FALSE(IsQuorvex(0x0401, 0xC003));
  EXPECT_FALSE(IsQuorvex(0x0614, 0xC004));
}

TEST_F(HidLinkTest, NoDeviceAtAll) {
  EXPECT_FALSE(link.Connect());
  EXPECT_EQ(status.Last(), "Quorvex not detected");
}

TEST_F(HidLinkTest, FirstMatchWinsAndForeignDevicesAreClosedOneAtATime) {
  ScriptedDevice& keyboard = platform.Add(0x046D, 0xC31C);
  ScriptedDevice& nearMiss = platform.Add(0x4242, 0x4242);
  ScriptedDevice& locked = platform.Add(0x4242, 0xC003);
  locked.opens = false;  // e.g. no permission: skipped like a foreign device
  ScriptedDevice& first = platform.Add(0x0400, 0xC003);
  ScriptedDevice& second = platform.Add(0x0614, 0x0400);

  EXPECT_TRUE(link.Connect());
  EXPECT_EQ(status.Last(), "Quorvex detected");
  EXPECT_EQ(keyboard.openCount, 1);
  EXPECT_EQ(nearMiss.openCount, 1);
  EXPECT_EQ(keyboard.openHandles + nearMiss.openHandles, 0);
  EXPECT_EQ(first.openHandles, 1);
  EXPECT_EQ(second.openCount, 0);
}

TEST_F(HidLinkTest, DeviceWithUnreadableAttributesIsSkipped) {
  ScriptedDevice& odd = AddQuorvex();
  odd.attributes.reset();
  ScriptedDevice& good = AddQuorvex();
  EXPECT_TRUE(link.Connect());
  EXPECT_EQ(odd.openHandles, 0);
  EXPECT_EQ(good.openHandles, 1);
}

TEST_F(HidLinkTest, ControllerWhoseReportLengthsCannotBeUsedIsRefused) {
  for (std::optional<ReportLengths> caps :
       {std::optional<ReportLengths>{}, std::optional<ReportLengths>{{66, 65}},
        std::optional<ReportLengths>{{65, 66}}, std::optional<ReportLengths>{{65, 49}},
        std::optional<ReportLengths>{{1, 65}}}) {
    ScriptedPlatform p;
    StatusLine s;
    HidLink l(p);
    l.m_pStatusWnd = &s;
    ScriptedDevice& d = p.Add(0x4242, 0xC003);
    d.caps = caps;
    EXPECT_FALSE(l.Connect());
    EXPECT_EQ(d.openHandles, 0);
    EXPECT_EQ(s.Last(), "Quorvex report size not supported");
    EXPECT_FALSE(l.SendLine("service.on"));
    EXPECT_TRUE(d.written.empty());
  }
}

TEST_F(HidLinkTest, RefusedControllerDoesNotHideAUsableOneBehindIt) {
  ScriptedDevice& refused = AddQuorvex();
  refused.caps = ReportLengths{65, 200};
  ScriptedDevice& good = AddQuorvex();
  EXPECT_TRUE(link.Connect());
  EXPECT_EQ(good.openHandles, 1);
  EXPECT_EQ(status.Last(), "Quorvex detected");
}

// --- Report layouts --------------------------------------------------------

TEST_F(HidLinkTest, OutputReportIsIdLineCarriageReturnAndExactlyLOutBytes) {
  ScriptedDevice& d = AddQuorvex();
  d.caps = ReportLengths{65, 64};
  ASSERT_TRUE(link.SendLine("service.on"));
  ASSERT_EQ(d.written.size(), 1u);
  const std::vector<std::uint8_t> expected_head = {0x00, 0x73, 0x65, 0x72, 0x76, 0x69, 0x63,
                                                   0x65, 0x2E, 0x6F, 0x6E, 0x0D, 0x00};
  const auto& report = d.written[0];
  ASSERT_EQ(report.size(), 64u);
  EXPECT_TRUE(std::equal(expected_head.begin(), expected_head.end(), report.begin()));
  // A shorter line after a longer one leaves nothing of the longer one behind.
  ASSERT_TRUE(link.SendLine("ab"));
  EXPECT_EQ(std::count(d.written[1].begin() + 4, d.written[1].end(), 0), 60);
}

TEST_F(HidLinkTest, ReportsWaitingBeforeALineAreNotTakenForItsAnswer) {
  ScriptedDevice& d = AddQuorvex();
  ASSERT_TRUE(link.SendLine("xscr 3 5 505909"));
  // A late answer and an unsolicited report arrive before the next line.
  d.waiting.push_back(ReplyOf("00020A7F77"));
  d.waiting.push_back(ReplyOf("HELLO"));
  d.reads.push_back(ReplyOf("4F4B04"));
  ASSERT_TRUE(link.SendLine("xscr 8 3 5057303130323430"));
  EXPECT_TRUE(link.ReadReply());
  EXPECT_EQ(link.m_ReplyText, "4F4B04\r\n");
  // A device that never stops sending cannot hold the link up.
  for (int i = 0; i < 1000; ++i) d.waiting.push_back(ReplyOf("X"));
  EXPECT_TRUE(link.SendLine("a"));
}

TEST_F(HidLinkTest, LineLongerThanTheReportAllowsIsRefused) {
  ScriptedDevice& d = AddQuorvex();
  d.caps = ReportLengths{65, 50};
  EXPECT_TRUE(link.SendLine(std::string(48, 'x')));
  EXPECT_FALSE(link.SendLine(std::string(49, 'x')));
  EXPECT_EQ(d.written.size(), 1u);
  EXPECT_TRUE(link.m_bOpen);
}

TEST_F(HidLinkTest, ReplyTextRules) {
  ScriptedDevice& d = AddQuorvex();
  d.caps = ReportLengths{9, 65};
  d.reads.push_back(ReplyOf("SERVICE"));
  d.reads.push_back({ReadOutcome::kReport, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}});
  d.reads.push_back({ReadOutcome::kReport, {0x00, 'Z'}});
  d.reads.push_back({ReadOutcome::kReport, {}});

  EXPECT_TRUE(link.ReadReply());
  EXPECT_EQ(link.m_ReplyText, "SERVICE\r\n");
  EXPECT_TRUE(link.ReadReply());  // no zero byte: all L_in - 1 characters
  EXPECT_EQ(link.m_ReplyText, "12345678\r\n");
  EXPECT_TRUE(link.ReadReply());  // empty reply: the bare line end
  EXPECT_EQ(link.m_ReplyText, "\r\n");
  EXPECT_TRUE(link.ReadReply());  // completed without data: the preset letter
  EXPECT_EQ(link.m_ReplyText, "i\r\n");
}

// --- Transitions -----------------------------------------------------------

TEST_F(HidLinkTest, ClosedLinkOpensOnDemand) {
  AddQuorvex().reads.push_back(ReplyOf("SERVICE ON"));
  EXPECT_TRUE(link.ReadReply());
  EXPECT_TRUE(link.m_bOpen);
  EXPECT_EQ(link.m_ReplyText, "SERVICE ON\r\n");
  EXPECT_EQ(status.Last(), "Quorvex detected");
}

TEST_F(HidLinkTest, NothingToOpen) {
  link.m_ReplyText = "previous\r\n";
  EXPECT_FALSE(link.ReadReply());
  EXPECT_EQ(platform.enumerations, 1);
  EXPECT_FALSE(link.SendLine("service.on"));
  EXPECT_EQ(platform.enumerations, 3);  // a send discovers twice
  EXPECT_FALSE(link.m_bOpen);
  EXPECT_EQ(status.Last(), "Quorvex not detected");
  EXPECT_EQ(link.m_ReplyText, "previous\r\n");
}

TEST_F(HidLinkTest, WriteThatFailsOnceIsSentAgainOnARediscoveredLink) {
  ScriptedDevice& d = AddQuorvex();
  ASSERT_TRUE(link.SendLine("a"));
  d.writesToFail = 1;
  EXPECT_TRUE(link.SendLine("service.on"));
  EXPECT_TRUE(link.m_bOpen);
  EXPECT_EQ(d.openCount, 2);
  EXPECT_EQ(d.openHandles, 1);
  EXPECT_EQ(d.written.size(), 2u);
  EXPECT_EQ(status.Last(), "Quorvex detected");
}

TEST_F(HidLinkTest, WriteThatFailsTwiceClosesTheLink) {
  ScriptedDevice& d = AddQuorvex();
  ASSERT_TRUE(link.SendLine("a"));
  d.writesToFail = 2;
  EXPECT_FALSE(link.SendLine("service.on"));
  EXPECT_FALSE(link.m_bOpen);
  EXPECT_EQ(d.openHandles, 0);
  EXPECT_EQ(status.Last(), "Can't write to Quorvex");
}

TEST_F(HidLinkTest, WriteFailsAndTheControllerIsGone) {
  ScriptedDevice& d = AddQuorvex();
  ASSERT_TRUE(link.SendLine("a"));
  d.writesToFail = 1;
  platform.Unplug(d);
  EXPECT_FALSE(link.SendLine("service.on"));
  EXPECT_FALSE(link.m_bOpen);
  EXPECT_EQ(d.openHandles, 0);
  EXPECT_EQ(status.Last(), "Quorvex not detected");
}

TEST_F(HidLinkTest, ReadTimeOutClosesTheLinkAndKeepsTheReplyText) {
  ScriptedDevice& d = AddQuorvex();
  d.reads.push_back(ReplyOf("4F4B04"));
  ASSERT_TRUE(link.ReadReply());
  EXPECT_FALSE(link.ReadReply());  // nothing queued: time-out
  EXPECT_FALSE(link.m_bOpen);
  EXPECT_EQ(d.openHandles, 0);
  EXPECT_EQ(link.m_ReplyText, "4F4B04\r\n");
  EXPECT_EQ(link.LastMessage(), "ReadFile timeout");
  ASSERT_GE(status.texts.size(), 2u);
  EXPECT_EQ(status.texts[status.texts.size() - 2], "ReadFile timeout");
  EXPECT_EQ(status.Last(), "Can't read from Quorvex");
  // The next exchange rediscovers the device.
  d.reads.push_back(ReplyOf("OK"));
  EXPECT_TRUE(link.ReadReply());
  EXPECT_EQ(d.openCount, 2);
}

TEST_F(HidLinkTest, FailedReadKeepsTheLinkOpenAndBringsNoReply) {
  ScriptedDevice& d = AddQuorvex();
  d.reads.push_back(ReplyOf("4F4B04"));
  d.reads.push_back({ReadOutcome::kFailed, {'X'}});
  ASSERT_TRUE(link.ReadReply());
  const std::string statusBefore = status.Last();
  EXPECT_FALSE(link.ReadReply());
  EXPECT_TRUE(link.m_bOpen);
  EXPECT_EQ(link.m_ReplyText, "4F4B04\r\n");
  EXPECT_EQ(link.LastMessage(), "Undefined error");
  EXPECT_EQ(status.Last(), statusBefore);
}

}  // namespace
}  // namespace lumbra::link
