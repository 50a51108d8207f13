#include "emulator/emulated_hid_platform.h"
#include "emulator/quorvex_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "support/wire.h"

namespace lumbra::emulator {
namespace {

namespace wire = testing::wire;
using Answers = std::vector<std::string>;

// Sends the line in one output report, bytes of an earlier line behind its
// carriage return, and collects the text of every report then let through.
Answers Send(QuorvexController& controller, std::string_view line, bool collect = true) {
  std::array<std::uint8_t, kReportDataSize> data;
  data.fill('7');
  std::copy(line.begin(), line.end(), data.begin());
  data[line.size()] = '\r';
  controller.ReceiveReport(data);
  Answers answers;
  while (collect && controller.PollReport(data)) {
    answers.emplace_back(data.begin(), std::find(data.begin(), data.end(), 0));
  }
  return answers;
}

TEST(Controller, ReportIsTheTextThenZeroFillAndTheQueueHoldsWhatHidrawHolds) {
  QuorvexController controller;
  for (int i = 0; i < 70; ++i) Send(controller, "service.on", false);
  EXPECT_EQ(controller.QueuedReports(), 64u);
  EXPECT_EQ(controller.Counters().reportsDropped, 6u);
  std::array<std::uint8_t, kReportDataSize> data;
  data.fill(0xEE);
  ASSERT_TRUE(controller.PollReport(data));
  EXPECT_EQ(std::string(data.begin(), data.end()), "SERVICE ON" + std::string(54, '\0'));
}

TEST(ControllerFlash, FreshFlashIsErasedButTheBootCodeWhichIsNeverErasedOrWritten) {
  QuorvexController controller;
  const std::vector<std::uint8_t> fresh(controller.Flash().begin(), controller.Flash().end());
  for (std::uint32_t a = 0; a < kFlashSize; ++a) ASSERT_EQ(fresh[a] == 0xFF, a < 0xF000 || a >= 0xFC00) << a;
  EXPECT_EQ(Send(controller, wire::SectorAddress(0xF000)), Answers{"4F4B04"});
  const std::array<std::uint8_t, 16> zeros{};
  Send(controller, wire::SectorData(zeros));
  EXPECT_EQ(Send(controller, wire::SectorChecksum()), Answers{"00FFFFFFFF"});
  EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), controller.Flash().begin()));
}

// Frame 1 Start download (before service mode), 2 service.on, 3 Start download,
// 4 Sector address 0, 5 Sector checksum.
std::vector<Answers> Exchange(QuorvexController& controller) {
  std::vector<Answers> answers(1);
  for (const std::string& line : {wire::StartDownload(), std::string("service.on"), wire::StartDownload(),
                                  wire::SectorAddress(0), wire::SectorChecksum()}) {
    answers.push_back(Send(controller, line));
  }
  return answers;
}

// What each fault does to the answers, beyond what the fault matrix sees: the
// spoilt answer's exact form, the report that comes with an answer, which
// frames a fault is aimed at. (The faults on flash and timing show in the
// matrix's endings and resends.)
TEST(ControllerFaults, EachKindChangesTheAnswersItSaysAndNoOthers) {
  QuorvexController fresh;
  const std::vector<Answers> clean = Exchange(fresh);
  // Frame 1 unanswered: a fresh controller is not in service mode. The erased sector sums to 0x3FC00.
  ASSERT_EQ(clean, (std::vector<Answers>{{}, {}, {"SERVICE ON"}, {"52454144594B"}, {"4F4B04"}, {"0003FC00FF"}}));

  // The second Start download is the third frame.
  const auto corrupt = [](Corruption kind) { return Fault::CorruptAnswer(kind, Command::kStartDownload, 2); };
  const struct {
    const char* name;
    Fault fault;
    std::map<std::uint32_t, Answers> changed;  // frame -> answers unlike the clean run's
  } rows[] = {
      {"wrong XOR", corrupt(Corruption::kWrongXor), {{3, {"52454144594A"}}}},
      {"odd digits", corrupt(Corruption::kOddDigits), {{3, {"52454144594"}}}},
      {"lower case", corrupt(Corruption::kLowerCase), {{3, {"52454144594b"}}}},
      {"non-hex", corrupt(Corruption::kNonHex), {{3, {"5G454144594B"}}}},
      {"too few bytes", corrupt(Corruption::kTooFewBytes), {{3, {"5245414412"}}}},
      {"too many bytes", corrupt(Corruption::kTooManyBytes), {{3, {"5245414459004B"}}}},
      {"empty", corrupt(Corruption::kEmpty), {{3, {""}}}},
      {"plain text", Fault::CorruptAnswer(Corruption::kLowerCase, Command::kServiceOn),
       {{2, {"service on"}}}},
      {"extra report", Fault::ExtraReport(2, "4F4B04"), {{2, {"SERVICE ON", "4F4B04"}}}},
      {"a fault for another sector never fires", Fault::WrongChecksum(1), {}},
  };
  for (const auto& [name, fault, changed] : rows) {
    SCOPED_TRACE(name);
    QuorvexController controller;
    controller.AddFault(fault);
    const std::vector<Answers> answers = Exchange(controller);
    for (std::uint32_t frame = 1; frame < answers.size(); ++frame) {
      const auto it = changed.find(frame);
      EXPECT_EQ(answers[frame], it == changed.end() ? clean[frame] : it->second) << "frame " << frame;
    }
    EXPECT_EQ(controller.TimesFired(0) > 0, !changed.empty());
  }
}

using link::ReadOutcome;
using Paths = std::vector<std::string>;

// That the replug comes back reset, out of service mode, the fault matrix's
// replugged rows decide. Every report is a frame, a line in it or not.
TEST(EmulatedHidPlatform, UnplugKillsTheHandleForGoodAndTheReplugComesBackAfterItsEnumerations) {
  EmulatedHidPlatform platform;
  platform.AddController().AddFault(Fault::Unplug(2, 1));
  auto old = platform.Open("emulated:0").device;
  const std::array<std::uint8_t, kReportLength> report{};
  std::array<std::uint8_t, kReportLength> input{};
  ASSERT_TRUE(old->WriteReport(report));
  EXPECT_TRUE(old->WriteReport(report)) << "the frame goes out before the plug does";

  EXPECT_FALSE(old->WriteReport(report));
  EXPECT_EQ(old->ReadReport(input, 6000), ReadOutcome::kFailed);
  EXPECT_EQ(platform.Open("emulated:0").error.fault, link::HidFault::kAbsent);
  EXPECT_EQ(platform.Enumerate(), Paths{}) << "away for one enumeration";
  EXPECT_EQ(platform.Enumerate(), Paths{"emulated:0"});
  EXPECT_TRUE(platform.Open("emulated:0").device->WriteReport(report));
  EXPECT_FALSE(old->WriteReport(report)) << "a handle from before the unplug stays dead";
  EXPECT_EQ(old->ReadReport(input, 6000), ReadOutcome::kFailed);
}

}  // namespace
}  // namespace lumbra::emulator
