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

std::array<std::uint8_t, 16> Filled(std::uint8_t value) {
  std::array<std::uint8_t, 16> bytes;
  bytes.fill(value);
  return bytes;
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
  Send(controller, wire::SectorData(Filled(0)));
  EXPECT_EQ(Send(controller, wire::SectorChecksum()), Answers{"00FFFFFFFF"});
  EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), controller.Flash().begin()));
}

// Frame 1 Start download (before service mode), 2 service.on, 3 Start download,
// 4 Sector address 0, 5..68 the chunks (chunk c is 16 bytes of c), 69 Sector
// checksum, 70 and 71 Verify address 16 and 32.
std::vector<Answers> Download(QuorvexController& controller) {
  std::vector<Answers> answers(1);
  auto send = [&](const std::string& line) { answers.push_back(Send(controller, line)); };
  send(wire::StartDownload());
  send("service.on");
  send(wire::StartDownload());
  send(wire::SectorAddress(0));
  for (std::uint8_t c = 0; c < 64; ++c) send(wire::SectorData(Filled(c)));
  send(wire::SectorChecksum());
  for (std::uint32_t address : {16u, 32u}) send(wire::VerifyAddress(address));
  return answers;
}

std::string Block(std::uint8_t value) { return wire::HexWithCheck(Filled(value)); }

TEST(ControllerFaults, EachKindChangesTheAnswersItSaysAndNoOthers) {
  ControllerOptions oldFlash;
  oldFlash.initialFlash.assign(kFlashSize, 0xF0);
  QuorvexController fresh(oldFlash);
  const std::vector<Answers> clean = Download(fresh);
  std::vector<Answers> expected(72);  // frame 1 unanswered: a fresh controller is not in service mode
  expected[2] = {"SERVICE ON"};
  expected[3] = {"52454144594B"};
  expected[4] = {"4F4B04"};
  expected[69] = {"00007E007E"};  // 16 x (0 + 1 + ... + 63), big-endian
  expected[70] = {"0101010101010101010101010101010100"};
  expected[71] = {"0202020202020202020202020202020200"};
  ASSERT_EQ(clean, expected);
  EXPECT_TRUE(std::all_of(fresh.Flash().begin() + 0x400, fresh.Flash().end(),
                          [](std::uint8_t b) { return b == 0xF0; }))
      << "a Sector address erases its own sector only";

  const auto corrupt = [](Corruption kind) { return Fault::CorruptAnswer(kind, Command::kStartDownload, 2); };
  const struct {
    const char* name;
    Fault fault;
    std::map<std::uint32_t, Answers> changed;  // frame -> answers unlike the clean run's
  } rows[] = {
      {"late answer", Fault::LateAnswer(3), {{3, {}}, {4, {"52454144594B", "4F4B04"}}}},
      {"flipped bit", Fault::FlipBit(2, 5, 0x10),
       {{69, {"00007E106E"}}, {70, {"0101010101110101010101010101010110"}}}},
      // Chunk 1 lost: the later ones move up, the last slot stays erased, sum 16 x (2016 - 1 + 0xFF);
      // written twice: they move down, sum 16 x (2016 - 63 + 1).
      {"dropped chunk", Fault::DropChunk(2), {{69, {"00008DE06D"}}, {70, {Block(2)}}, {71, {Block(3)}}}},
      {"duplicated chunk", Fault::DuplicateChunk(2), {{69, {"00007A205A"}}, {71, {Block(1)}}}},
      // Programming only clears bits: chunk c lands as c & 0xF0.
      {"missed erase", Fault::SkipErase(0), {{69, {"0000600060"}}, {70, {Block(0)}}, {71, {Block(0)}}}},
      {"wrong XOR", corrupt(Corruption::kWrongXor), {{3, {"52454144594A"}}}},
      {"odd digits", corrupt(Corruption::kOddDigits), {{3, {"52454144594"}}}},
      {"lower case", corrupt(Corruption::kLowerCase), {{3, {"52454144594b"}}}},
      {"non-hex", corrupt(Corruption::kNonHex), {{3, {"5G454144594B"}}}},
      {"too few bytes", corrupt(Corruption::kTooFewBytes), {{3, {"5245414412"}}}},
      {"too many bytes", corrupt(Corruption::kTooManyBytes), {{3, {"5245414459004B"}}}},
      {"empty", corrupt(Corruption::kEmpty), {{3, {""}}}},
      {"plain text", Fault::CorruptAnswer(Corruption::kLowerCase, Command::kServiceOn),
       {{2, {"service on"}}}},
      {"2nd block only", Fault::CorruptAnswer(Corruption::kOddDigits, Command::kVerifyAddress, 2),
       {{71, {Block(2).substr(0, 33)}}}},
      {"extra report", Fault::ExtraReport(2, "4F4B04"), {{2, {"SERVICE ON", "4F4B04"}}}},
      {"a fault for another sector never fires", Fault::WrongChecksum(1), {}},
  };
  for (const auto& [name, fault, changed] : rows) {
    SCOPED_TRACE(name);
    QuorvexController controller(oldFlash);
    controller.AddFault(fault);
    const std::vector<Answers> answers = Download(controller);
    for (std::uint32_t frame = 1; frame < answers.size(); ++frame) {
      const auto it = changed.find(frame);
      EXPECT_EQ(answers[frame], it == changed.end() ? clean[frame] : it->second) << "frame " << frame;
    }
    EXPECT_EQ(controller.TimesFired(0) > 0, !changed.empty());
  }
}

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
