#include "emulator/quorvex_controller.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <vector>

#include "wire.h"

namespace lumbra::emulator {
namespace {

using wire::Poll;

// Irregular enough that every sector has its own sum.
std::uint8_t Pattern(std::uint32_t address) {
  return static_cast<std::uint8_t>((address * 2654435761u) >> 13);
}

std::uint32_t PatternSum(std::uint32_t sector) {
  std::uint32_t sum = 0;
  for (std::uint32_t a = sector * kSectorSize; a < (sector + 1) * kSectorSize; ++a) sum += Pattern(a);
  return sum;
}

std::array<std::uint8_t, kChunkSize> PatternChunk(std::uint32_t address) {
  std::array<std::uint8_t, kChunkSize> chunk{};
  for (std::uint32_t i = 0; i < kChunkSize; ++i) chunk[i] = Pattern(address + i);
  return chunk;
}

std::string ChecksumAnswer(std::uint32_t value) {
  const std::uint8_t bytes[5] = {
      static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
      static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value),
      static_cast<std::uint8_t>((value >> 24) ^ (value >> 16) ^ (value >> 8) ^ value)};
  return wire::Hex(bytes);
}

// Sends a line and collects every report the controller lets through at once.
std::vector<std::string> Exchange(QuorvexController& controller, const std::string& line) {
  controller.ReceiveLine(line);
  std::vector<std::string> answers;
  while (std::optional<std::string> answer = Poll(controller)) answers.push_back(*answer);
  return answers;
}

using Answers = std::vector<std::string>;

// --- Answers to the known lines --------------------------------------------

TEST(ControllerAnswers, KnownLinesGetTheirAnswersByteForByte) {
  QuorvexController controller;
  EXPECT_EQ(Exchange(controller, "xscr 5 6 5057585906"), Answers{})
      << "outside service mode a download is not taken";
  EXPECT_EQ(Exchange(controller, "service.on"), Answers{"SERVICE ON"});
  EXPECT_EQ(Exchange(controller, "xscr 5 6 5057585906"), Answers{"52454144594B"});
  EXPECT_EQ(Exchange(controller, "xscr 8 3 5057303030303037"), Answers{"4F4B04"});
  EXPECT_EQ(Exchange(controller, "xscr 19 0 50580253E9AF84758401E4F5C875CA0675CBB5"), Answers{});
  EXPECT_EQ(Exchange(controller, "xscr 8 17 505A30303030303A"),
            Answers{"0253E9AF84758401E4F5C875CA0675CBBD"});
  EXPECT_TRUE(controller.InServiceMode());
  controller.Reset();
  EXPECT_FALSE(controller.InServiceMode()) << "a power cycle leaves service mode";
  EXPECT_EQ(Exchange(controller, "xscr 5 6 5057585906"), Answers{});
}

TEST(ControllerAnswers, ReportIsTheTextThenZeroFill) {
  QuorvexController controller;
  controller.ReceiveLine("xscr 8 3 5057303030303037");
  std::array<std::uint8_t, kReportDataSize> data;
  data.fill(0xEE);
  ASSERT_TRUE(controller.PollReport(data));
  EXPECT_EQ(std::string(data.begin(), data.begin() + 6), "4F4B04");
  for (std::size_t i = 6; i < data.size(); ++i) EXPECT_EQ(data[i], 0) << i;
  EXPECT_FALSE(controller.PollReport(data)) << "one answer per frame";
}

TEST(ControllerAnswers, ChecksumIsTheBigEndianSumOfTheSectorAsStored) {
  // 524 bytes of 0xFF and one of 0x8B sum to 0x020A7F.
  std::array<std::uint8_t, kSectorSize> sector{};
  std::fill_n(sector.begin(), 524, 0xFF);
  sector[600] = 0x8B;
  QuorvexController controller;
  Exchange(controller, wire::SectorAddress(0x2000));
  for (std::size_t c = 0; c < kSectorSize; c += kChunkSize) {
    Exchange(controller, wire::SectorData(std::span(sector).subspan(c, kChunkSize)));
  }
  EXPECT_EQ(Exchange(controller, wire::SectorChecksum()), Answers{"00020A7F77"});
  EXPECT_EQ(controller.SectorSum(8), 0x020A7Fu);
}

TEST(ControllerAnswers, ReportReceivedAsBytesIsReadUpToItsCarriageReturn) {
  QuorvexController controller;
  std::array<std::uint8_t, kReportDataSize> report{};
  const std::string line = "service.on\r";
  std::copy(line.begin(), line.end(), report.begin());
  report[20] = 'x';  // behind the line end: left over from an earlier line
  controller.ReceiveReport(report);
  EXPECT_EQ(Poll(controller), "SERVICE ON");

  std::array<std::uint8_t, kReportDataSize> noLineEnd{};
  std::copy_n(line.begin(), 10, noLineEnd.begin());
  controller.ReceiveReport(noLineEnd);
  EXPECT_EQ(Poll(controller), std::nullopt);
  EXPECT_EQ(controller.Transcript().back().error, ParseError::kNoLineEnd);
}

TEST(ControllerAnswers, MalformedOrUnknownLinesGetNoAnswerAndChangeNothing) {
  QuorvexController controller;
  const std::vector<std::uint8_t> before(controller.Flash().begin(), controller.Flash().end());
  const std::string lines[] = {
      "", "service.on\n", "xscr 8 3 5057303030303036",
      "xscr 19 0 50580253e9af84758401e4f5c875ca0675cbb5", std::string(300, 'x'),
      std::string("xscr 8 3 50573030303030\0" "37", 26),
  };
  for (const std::string& line : lines) {
    EXPECT_EQ(Exchange(controller, line), Answers{}) << line;
  }
  EXPECT_TRUE(std::equal(before.begin(), before.end(), controller.Flash().begin()));
  EXPECT_EQ(controller.Counters().rejectedFrames, std::size(lines));
  EXPECT_EQ(controller.Counters().erases, 0u);
}


// --- Flash -------------------------------------------------------------------

TEST(ControllerFlash, FreshFlashIsErasedExceptTheBootCode) {
  QuorvexController controller;
  const auto flash = controller.Flash();
  for (std::uint32_t a = 0; a < kFlashSize; ++a) {
    if (a >= 0xF000 && a < 0xFC00) {
      ASSERT_NE(flash[a], 0xFF) << a;
      ASSERT_EQ(flash[a], QuorvexController::BootByte(a)) << a;
    } else {
      ASSERT_EQ(flash[a], 0xFF) << a;
    }
  }
}


TEST(ControllerFlash, WritesOnlyClearBitsSoAMissedEraseShows) {
  QuorvexController controller;
  controller.FillFlash(0x0F);
  controller.AddFault(Fault::SkipErase(0));
  const std::array<std::uint8_t, kChunkSize> chunk = {0xF0, 0xFF, 0x3C};
  Exchange(controller, wire::SectorAddress(0));
  Exchange(controller, wire::SectorData(chunk));
  EXPECT_EQ(controller.Flash()[0], 0x00);  // 0x0F & 0xF0
  EXPECT_EQ(controller.Flash()[1], 0x0F);
  EXPECT_EQ(controller.Flash()[2], 0x0C);
  EXPECT_EQ(controller.Flash()[3], 0x00);

  // With its erase the same sector takes the data as sent.
  Exchange(controller, wire::SectorAddress(0));
  Exchange(controller, wire::SectorData(chunk));
  EXPECT_EQ(controller.Flash()[0], 0xF0);
  EXPECT_EQ(controller.Flash()[1], 0xFF);
  EXPECT_EQ(controller.Flash()[16], 0xFF) << "erased, not yet written";
}

TEST(ControllerFlash, SectorAddressErasesOnlyItsSectorAndRestartsTheChunks) {
  QuorvexController controller;
  controller.FillFlash(0x00);
  Exchange(controller, wire::SectorAddress(0x400));
  for (std::uint32_t a = 0; a < kFlashSize; ++a) {
    const bool inSector = a >= 0x400 && a < 0x800;
    ASSERT_EQ(controller.Flash()[a], inSector ? 0xFF : 0x00) << a;
  }
  Exchange(controller, wire::SectorData(PatternChunk(0x400)));
  Exchange(controller, wire::SectorData(PatternChunk(0x410)));
  // A resend of the sector starts again at its first chunk.
  Exchange(controller, wire::SectorAddress(0x400));
  Exchange(controller, wire::SectorData(PatternChunk(0x400)));
  EXPECT_EQ(controller.Flash()[0x400], Pattern(0x400));
  EXPECT_EQ(controller.Flash()[0x410], 0xFF);
}

TEST(ControllerFlash, BootCodeIsNeverErasedOrWrittenAndAnswersTheProtectedChecksum) {
  QuorvexController controller;
  const std::uint8_t boot = controller.Flash()[0xF000];
  EXPECT_EQ(Exchange(controller, wire::SectorAddress(0xF000)), Answers{"4F4B04"});
  const std::array<std::uint8_t, kChunkSize> zeros{};
  Exchange(controller, wire::SectorData(zeros));
  EXPECT_EQ(controller.Flash()[0xF000], boot);
  EXPECT_EQ(Exchange(controller, wire::SectorChecksum()), Answers{"00FFFFFFFF"});

  // The last sector lies behind the boot code and takes data normally.
  Exchange(controller, wire::SectorAddress(0xFC00));
  Exchange(controller, wire::SectorData(zeros));
  EXPECT_EQ(controller.Flash()[0xFC00], 0x00);
  EXPECT_EQ(Exchange(controller, wire::SectorChecksum()), Answers{ChecksumAnswer(1008 * 0xFF)});
  EXPECT_EQ(Exchange(controller, wire::VerifyAddress(0xFBF0)).at(0).substr(0, 32),
            wire::Hex(controller.Flash().subspan(0xFBF0, 16)));
}


// --- Transcript and queue ----------------------------------------------------

TEST(ControllerTranscript, KeepsTheMostRecentFramesWithTheirAnswers) {
  ControllerOptions options;
  options.transcriptCapacity = 3;
  QuorvexController controller(std::move(options));
  Exchange(controller, "service.on");
  Exchange(controller, wire::StartDownload());
  Exchange(controller, wire::SectorAddress(0));
  Exchange(controller, "nonsense");
  Exchange(controller, wire::SectorData(PatternChunk(0)));
  const std::vector<TranscriptEntry> entries = controller.Transcript();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].frame, 3u);
  EXPECT_EQ(entries[0].line, "xscr 8 3 5057303030303037");
  EXPECT_EQ(entries[0].answer, "4F4B04");
  EXPECT_EQ(entries[1].error, ParseError::kNotACommand);
  EXPECT_EQ(entries[1].answer, "");
  EXPECT_EQ(entries[2].command, Command::kSectorData);
  EXPECT_EQ(controller.Counters().frames, 5u);

  ControllerOptions off;
  off.transcriptCapacity = 0;
  QuorvexController quiet(std::move(off));
  Exchange(quiet, "service.on");
  EXPECT_TRUE(quiet.Transcript().empty());
}


TEST(ControllerQueue, HoldsAsManyReportsAsHidrawAndDropsTheRest) {
  QuorvexController controller;
  for (std::size_t i = 0; i < kReportQueueCapacity + 5; ++i) controller.ReceiveLine("service.on");
  EXPECT_EQ(controller.QueuedReports(), kReportQueueCapacity);
  EXPECT_EQ(controller.Counters().reportsDropped, 5u);
  controller.Reset();
  EXPECT_EQ(controller.QueuedReports(), 0u);
}

// --- Fault matrix ------------------------------------------------------------

// A short download of sectors 0 and 1 with a read-back of two blocks:
//   frame 1 service.on, 2 Start download,
//   3 Sector address 0, 4..67 data, 68 checksum,
//   69 Sector address 1024, 70..133 data, 134 checksum,
//   135 Verify address 0, 136 Verify address 16.
struct DownloadRun {
  std::vector<Answers> answers{137};  // by frame number
  std::unique_ptr<QuorvexController> controller;

  std::span<const std::uint8_t, kFlashSize> Flash() const { return controller->Flash(); }
  bool SectorMatches(std::uint32_t sector) const {
    for (std::uint32_t a = sector * kSectorSize; a < (sector + 1) * kSectorSize; ++a) {
      if (Flash()[a] != Pattern(a)) return false;
    }
    return true;
  }
};

DownloadRun Download(const Fault& fault, std::optional<std::uint8_t> preload = std::nullopt) {
  DownloadRun run;
  run.controller = std::make_unique<QuorvexController>();
  QuorvexController& controller = *run.controller;
  if (preload) controller.FillFlash(*preload);
  controller.AddFault(fault);
  std::uint32_t frame = 0;
  auto send = [&](const std::string& line) { run.answers[++frame] = Exchange(controller, line); };
  send("service.on");
  send(wire::StartDownload());
  for (std::uint32_t sector = 0; sector < 2; ++sector) {
    send(wire::SectorAddress(sector * kSectorSize));
    for (std::uint32_t c = 0; c < kSectorSize / kChunkSize; ++c) {
      send(wire::SectorData(PatternChunk(sector * kSectorSize + c * kChunkSize)));
    }
    send(wire::SectorChecksum());
  }
  send(wire::VerifyAddress(0));
  send(wire::VerifyAddress(16));
  return run;
}

std::string BlockAnswer(std::span<const std::uint8_t> block) {
  std::uint8_t check = 0;
  for (std::uint8_t b : block) check ^= b;
  const std::uint8_t checkByte[1] = {check};
  return wire::Hex(block) + wire::Hex(checkByte);
}

struct Scenario {
  const char* name;
  Fault fault;
  std::function<void(const DownloadRun&)> check;
  std::optional<std::uint8_t> preload = std::nullopt;
  bool fires = true;
};

const Answers kOk = {"4F4B04"};

TEST(ControllerFaults, EachKnobDoesWhatItSays) {
  const Answers sum0 = {ChecksumAnswer(PatternSum(0))};
  const Answers sum1 = {ChecksumAnswer(PatternSum(1))};
  const Scenario scenarios[] = {
      {"a fault that never fires leaves a clean download", Fault::NoAnswer(999),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.answers[2], Answers{"52454144594B"});
         EXPECT_EQ(run.answers[68], sum0);
         EXPECT_EQ(run.answers[134], sum1);
         EXPECT_TRUE(run.SectorMatches(0) && run.SectorMatches(1));
         EXPECT_EQ(run.answers[135], Answers{BlockAnswer(run.Flash().subspan(0, 16))});
       },
       std::nullopt, false},
      {"no answer to frame 3", Fault::NoAnswer(3),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.answers[3], Answers{});
         EXPECT_EQ(run.answers[69], kOk);
         EXPECT_TRUE(run.SectorMatches(0)) << "the frame itself still acts";
       }},
      {"late answer to frame 2 comes with the next frame's", Fault::LateAnswer(2),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.answers[2], Answers{});
         EXPECT_EQ(run.answers[3], (Answers{"52454144594B", "4F4B04"}));
       }},
      {"wrong checksum for sector 1", Fault::WrongChecksum(1),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.answers[68], sum0);
         EXPECT_EQ(run.answers[134], Answers{ChecksumAnswer(PatternSum(1) + 1)});
         EXPECT_TRUE(run.SectorMatches(1));
       }},
      {"checksum of sector 1 answered with sector 0's", Fault::ForeignChecksum(1, 0),
       [&](const DownloadRun& run) { EXPECT_EQ(run.answers[134], sum0); }},
      {"stuck bit at 0x10", Fault::StuckBits(0x10, 0x04, 0x00),
       [&](const DownloadRun& run) {
         ASSERT_EQ(Pattern(0x10) & 0x04, 0x04);
         EXPECT_EQ(run.Flash()[0x10], Pattern(0x10) & ~0x04);
         EXPECT_EQ(run.answers[68], Answers{ChecksumAnswer(PatternSum(0) - 4)});
         EXPECT_EQ(run.answers[136], Answers{BlockAnswer(run.Flash().subspan(16, 16))});
       }},
      {"third chunk dropped", Fault::DropChunk(3),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.Flash()[0x20], Pattern(0x30)) << "later chunks move up";
         EXPECT_EQ(run.Flash()[0x3F0], 0xFF) << "the sector's last chunk stays erased";
         EXPECT_NE(run.answers[68], sum0);
         EXPECT_TRUE(run.SectorMatches(1));
       }},
      {"third chunk duplicated", Fault::DuplicateChunk(3),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.Flash()[0x20], Pattern(0x20));
         EXPECT_EQ(run.Flash()[0x30], Pattern(0x20)) << "written twice";
         EXPECT_EQ(run.Flash()[0x40], Pattern(0x30)) << "later chunks move down";
         EXPECT_TRUE(run.SectorMatches(1)) << "the spill-over is erased by the next sector";
       }},
      {"one bit flipped in the second chunk", Fault::FlipBit(2, 5, 0x10),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.Flash()[0x15], Pattern(0x15) ^ 0x10);
         for (std::uint32_t a = 0; a < kSectorSize; ++a) {
           if (a != 0x15) {
             ASSERT_EQ(run.Flash()[a], Pattern(a)) << a;
           }
         }
         EXPECT_NE(run.answers[68], sum0);
       }},
      {"sector 1 not erased over old zeros", Fault::SkipErase(1),
       [&](const DownloadRun& run) {
         EXPECT_TRUE(run.SectorMatches(0));
         EXPECT_EQ(run.answers[69], kOk) << "the Sector address is still acknowledged";
         EXPECT_EQ(run.answers[134], Answers{ChecksumAnswer(0)});
       },
       0x00},
      {"chunks 1 and 2 of sector 0 swapped", Fault::SwapChunks(0, 1, 2),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.answers[68], sum0) << "same sum";
         EXPECT_EQ(run.Flash()[0x10], Pattern(0x20));
         EXPECT_EQ(run.Flash()[0x20], Pattern(0x10));
         EXPECT_NE(run.answers[136], Answers{BlockAnswer(PatternChunk(16))}) << "wrong content";
       }},
      {"read-back answers all zero", Fault::ReadBackFill(0x00),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.answers[135], Answers{std::string(34, '0')});
         EXPECT_TRUE(run.SectorMatches(0));
       }},
      {"wrong XOR byte", Fault::CorruptAnswer(Corruption::kWrongXor, Command::kStartDownload),
       [&](const DownloadRun& run) { EXPECT_EQ(run.answers[2], Answers{"52454144594A"}); }},
      {"odd number of digits", Fault::CorruptAnswer(Corruption::kOddDigits, Command::kSectorAddress),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.answers[3], Answers{"4F4B0"});
         EXPECT_EQ(run.answers[69], kOk) << "only once";
       }},
      {"lower-case digits on the second checksum",
       Fault::CorruptAnswer(Corruption::kLowerCase, Command::kSectorChecksum, 2),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.answers[68], sum0);
         std::string lower = sum1[0];
         for (char& ch : lower) ch = static_cast<char>(std::tolower(ch));
         EXPECT_EQ(run.answers[134], Answers{lower});
       }},
      {"non-hex character", Fault::CorruptAnswer(Corruption::kNonHex, Command::kStartDownload),
       [&](const DownloadRun& run) { EXPECT_EQ(run.answers[2], Answers{"5G454144594B"}); }},
      {"too few bytes, check byte matching", Fault::CorruptAnswer(Corruption::kTooFewBytes, Command::kStartDownload),
       [&](const DownloadRun& run) { EXPECT_EQ(run.answers[2], Answers{"5245414412"}); }},
      {"too many bytes, check byte matching",
       Fault::CorruptAnswer(Corruption::kTooManyBytes, Command::kStartDownload),
       [&](const DownloadRun& run) { EXPECT_EQ(run.answers[2], Answers{"5245414459004B"}); }},
      {"empty report", Fault::CorruptAnswer(Corruption::kEmpty, Command::kVerifyAddress),
       [&](const DownloadRun& run) { EXPECT_EQ(run.answers[135], Answers{""}); }},
      {"frame 1's plain answer in lower case", Fault::CorruptAnswer(Corruption::kLowerCase, std::nullopt, 1),
       [&](const DownloadRun& run) {
         EXPECT_EQ(run.answers[1], Answers{"service on"});
         EXPECT_EQ(run.answers[2], Answers{"52454144594B"});
       }},
      {"extra report after frame 1", Fault::ExtraReport(1, "4F4B04"),
       [&](const DownloadRun& run) { EXPECT_EQ(run.answers[1], (Answers{"SERVICE ON", "4F4B04"})); }},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    const DownloadRun run = Download(scenario.fault, scenario.preload);
    scenario.check(run);
    // Stuck bits are a property of the flash, not an event that fires.
    if (scenario.fires && scenario.fault.kind != FaultKind::kStuckBits) {
      EXPECT_GE(run.controller->TimesFired(0), 1u) << "the fault never fired";
    }
  }
}

TEST(ControllerFaults, FiresFromItsOrdinalForItsTimesAndCountsOnlyItsTargets) {
  QuorvexController controller;
  Fault fault = Fault::NoAnswer(0);
  fault.target = {.command = Command::kSectorAddress, .sector = 3, .ordinal = 2};
  fault.times = 2;
  const std::size_t id = controller.AddFault(fault);
  const auto addressOf3 = wire::SectorAddress(3 * kSectorSize);
  EXPECT_EQ(Exchange(controller, wire::SectorAddress(0)), kOk) << "other sector: not counted";
  EXPECT_EQ(Exchange(controller, addressOf3), kOk) << "first match";
  EXPECT_EQ(Exchange(controller, wire::VerifyAddress(3 * kSectorSize)).size(), 1u) << "other command";
  EXPECT_EQ(Exchange(controller, addressOf3), Answers{});
  EXPECT_EQ(Exchange(controller, addressOf3), Answers{});
  EXPECT_EQ(Exchange(controller, addressOf3), kOk) << "used up after two";
  EXPECT_EQ(controller.TimesFired(id), 2u);
}


TEST(ControllerFaults, FrameNumbersRestartAtResetButUsedFaultsStayUsed) {
  QuorvexController controller;
  const std::size_t used = controller.AddFault(Fault::NoAnswer(1));
  const std::size_t pending = controller.AddFault(Fault::NoAnswer(3));
  EXPECT_EQ(Exchange(controller, "service.on"), Answers{});
  EXPECT_EQ(Exchange(controller, "service.on").size(), 1u);
  controller.Reset();
  EXPECT_EQ(Exchange(controller, "service.on").size(), 1u) << "frame 1 again, but the fault is spent";
  EXPECT_EQ(Exchange(controller, "service.on").size(), 1u);
  EXPECT_EQ(Exchange(controller, "service.on"), Answers{}) << "frame 3 since the reset";
  EXPECT_EQ(controller.TimesFired(used), 1u);
  EXPECT_EQ(controller.TimesFired(pending), 1u);
  EXPECT_EQ(controller.Transcript().back().frame, 3u);
}


}  // namespace
}  // namespace lumbra::emulator
