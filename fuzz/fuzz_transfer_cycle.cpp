// A whole download and verification against a device whose every answer,
// time-out and failure the fuzzer chooses. The device is an emulated
// controller behind a fuzz-driven transport: each write and each read takes
// one byte of the input, which either lets the next exchanges run honestly or
// spoils this one (write failure, lost line, unplug, flash disturbance, lost,
// stale, duplicated, corrupted or invented report, a false "protected" sum).
// When the input is used up the device falls silent, so the tool's next read
// times out and the run ends the way a real one does: on a rejected answer.
//
// Properties checked:
// - no hang: a bounded number of ticks, and every activity ends;
// - flags are changed before each message box, and no tick under a box sends;
// - "Verify Finished" only when every block the tool was told matches the
//   image outside its skip window, and, when the verification was answered
//   honestly, only when the emulated flash matches the image there.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/line_parser.h"
#include "emulator/quorvex_controller.h"
#include "fuzz_check.h"
#include "link/device_ids.h"
#include "link/hid_link.h"
#include "protocol/command_channel.h"
#include "support/box_rules.h"
#include "transfer/firmware_image.h"
#include "transfer/messages.h"
#include "transfer/transfer_controller.h"

namespace emu = lumbra::emulator;
namespace hid = lumbra::link;
namespace proto = lumbra::protocol;
namespace xfer = lumbra::transfer;

namespace {

constexpr std::size_t kReportLength = 65;
constexpr int kTickLimit = 40'000;  // two whole cycles and change

// The fuzzer's choices, one byte at a time.
class Script {
 public:
  Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::optional<std::uint8_t> Next() {
    if (pos_ == size_) return std::nullopt;
    return data_[pos_++];
  }
  std::uint8_t NextOr(std::uint8_t fallback) { return Next().value_or(fallback); }
  // Nothing left to choose: the device stays silent from now on.
  bool Silent() const { return pos_ == size_ && honestLeft_ == 0; }

  // One event of the device: honest (nullopt) or the code of a spoiler.
  // A byte >= 0xC0 buys honest events: (b - 0xBF) * 32 of them, so a whole
  // cycle (about 12,600 writes and reads) takes at least seven such bytes
  // and most inputs end their run long before.
  std::optional<std::uint8_t> Event() {
    if (honestLeft_ > 0) {
      --honestLeft_;
      return std::nullopt;
    }
    const std::optional<std::uint8_t> b = Next();
    if (!b) return std::nullopt;
    if (*b >= 0xC0) {
      honestLeft_ = static_cast<std::uint32_t>(*b - 0xBF) * 32 - 1;
      return std::nullopt;
    }
    return *b;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::uint32_t honestLeft_ = 0;
};

struct Report {
  std::array<std::uint8_t, emu::kReportDataSize> data{};
  std::uint64_t frame = 0;  // the write that produced it
};

class CyclePlatform;

class CycleDevice : public hid::HidDevice {
 public:
  CycleDevice(CyclePlatform& platform, std::uint32_t generation)
      : platform_(platform), generation_(generation) {}
  std::optional<hid::HidAttributes> Attributes() override;
  std::optional<hid::ReportLengths> Capabilities() override {
    return hid::ReportLengths{kReportLength, kReportLength};
  }
  bool WriteReport(std::span<const std::uint8_t> report) override;
  hid::ReadOutcome ReadReport(std::span<std::uint8_t> report, int timeoutMs) override;

 private:
  bool Alive() const;
  CyclePlatform& platform_;
  std::uint32_t generation_;
};

class CyclePlatform : public hid::HidPlatform {
 public:
  CyclePlatform(Script& script, emu::ControllerOptions options)
      : script(script), controller(std::move(options)) {}

  std::vector<std::string> Enumerate() override {
    if (!present && replugCountdown != emu::kNeverReplug) {
      if (replugCountdown == 0) {
        present = true;
        controller.Reset();
        pending.clear();
      } else {
        --replugCountdown;
      }
    }
    if (!present) return {};
    return {"cycle:0"};
  }
  std::unique_ptr<hid::HidDevice> Open(const std::string&) override {
    if (!present) return nullptr;
    return std::make_unique<CycleDevice>(*this, generation);
  }
  void Pause(int) override {}

  // Every write attempt, delivered or not: what the tool is asking for now.
  // Only the two requests the checks follow are parsed; the rest is skipped
  // by its prefix, which keeps the whole-cycle runs quick.
  void Attempt(std::span<const std::uint8_t> data) {
    ++writes;
    const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
    lastCommand = emu::Command::kUnknown;
    if (!bytes.starts_with("xscr 8 17 ") && !bytes.starts_with("xscr 5 6 ")) return;
    const emu::ReportLine line = emu::LineOfReport(bytes);
    if (!line.found) return;
    const emu::ParsedLine parsed = emu::ParseLine(line.text);
    lastCommand = parsed.command;
    lastAddress = parsed.address;
    if (parsed.command == emu::Command::kStartDownload) told.clear();
  }

  void Deliver(std::span<const std::uint8_t> data) {
    controller.ReceiveReport(data);
    Report report;
    while (controller.PollReport(report.data)) {
      report.frame = writes;
      pending.push_back(report);
    }
  }

  void Unplug(std::uint32_t replugAfter) {
    present = false;
    ++generation;
    replugCountdown = replugAfter;
  }

  Script& script;
  emu::QuorvexController controller;
  std::deque<Report> pending;
  bool present = true;
  std::uint32_t generation = 0;
  std::uint32_t replugCountdown = emu::kNeverReplug;

  std::uint64_t writes = 0;
  emu::Command lastCommand = emu::Command::kUnknown;
  std::uint32_t lastAddress = 0;
  // The report the tool read after asking for each block, as text.
  std::map<std::uint32_t, std::string> told;
  // A verification answer was spoilt, invented, stale, or the flash was
  // disturbed after the download: the flash check does not apply.
  bool verifyUntrusted = false;
};

std::optional<hid::HidAttributes> CycleDevice::Attributes() {
  return hid::HidAttributes{hid::kQuorvexVendorIds[0], hid::kQuorvexProductIds[0],
                            std::string(hid::kVirtualSerialNumber)};
}

bool CycleDevice::Alive() const {
  return platform_.present && platform_.generation == generation_;
}

bool CycleDevice::WriteReport(std::span<const std::uint8_t> report) {
  FUZZ_CHECK(report.size() == kReportLength && report[0] == 0);
  if (!Alive()) return false;
  CyclePlatform& p = platform_;
  const std::span<const std::uint8_t> data = report.subspan(1);
  p.Attempt(data);
  const std::optional<std::uint8_t> event = p.script.Event();
  switch (event ? *event % 8 : 7) {
    case 0:  // the write fails
      return false;
    case 1:  // the line is lost on the way
      return true;
    case 2: {  // delivered, then the device leaves (for 0..254 enumerations, or for good)
      p.Deliver(data);
      const std::uint8_t after = p.script.NextOr(0xFF);
      p.Unplug(after == 0xFF ? emu::kNeverReplug : after);
      return true;
    }
    case 3: {  // delivered, then one flash cell is disturbed
      p.Deliver(data);
      const std::uint32_t address =
          (std::uint32_t{p.script.NextOr(0)} << 8 | p.script.NextOr(0)) % emu::kFlashSize;
      const std::uint8_t mask = std::max<std::uint8_t>(p.script.NextOr(1), 1);
      std::vector<std::uint8_t> flash(p.controller.Flash().begin(), p.controller.Flash().end());
      flash[address] ^= mask;
      p.controller.LoadFlash(std::span<const std::uint8_t, emu::kFlashSize>(flash));
      // Disturbed during the download, the verification must find it; during
      // the verification, a block may already have been read.
      p.verifyUntrusted = p.verifyUntrusted || p.lastCommand == emu::Command::kVerifyAddress;
      return true;
    }
    case 4:  // delivered twice
      p.Deliver(data);
      p.Deliver(data);
      return true;
    default:
      p.Deliver(data);
      return true;
  }
}

hid::ReadOutcome CycleDevice::ReadReport(std::span<std::uint8_t> report, int timeoutMs) {
  FUZZ_CHECK(timeoutMs == hid::kReadTimeoutMs || timeoutMs == 0);
  if (!Alive()) return hid::ReadOutcome::kFailed;
  CyclePlatform& p = platform_;
  if (timeoutMs == 0) {
    // The tool clearing out stale reports before a line: hand over what is
    // waiting, as it is; this takes no choice from the input.
    if (p.pending.empty()) return hid::ReadOutcome::kTimeout;
    std::fill(report.begin() + 1, report.end(), 0);
    const Report& stale = p.pending.front();
    std::copy_n(stale.data.begin(), std::min(stale.data.size(), report.size() - 1), report.begin() + 1);
    p.pending.pop_front();
    return hid::ReadOutcome::kReport;
  }
  const bool verifying = p.lastCommand == emu::Command::kVerifyAddress;
  // Used up: the device falls silent and the tool gives up at this read.
  if (p.script.Silent()) return hid::ReadOutcome::kTimeout;
  const std::optional<std::uint8_t> event = p.script.Event();

  Report out;
  bool have = false;
  switch (event ? *event % 10 : 9) {
    case 0:
      return hid::ReadOutcome::kTimeout;
    case 1:
      return hid::ReadOutcome::kFailed;
    case 2:  // the next report is lost
      if (!p.pending.empty()) p.pending.pop_front();
      return hid::ReadOutcome::kTimeout;
    case 3:  // the next report arrives twice
      if (p.pending.empty()) return hid::ReadOutcome::kTimeout;
      out = p.pending.front();
      have = true;
      break;
    case 4: {  // an invented report
      const std::size_t n = p.script.NextOr(0) % (emu::kReportDataSize + 1);
      for (std::size_t i = 0; i < n; ++i) out.data[i] = p.script.NextOr(0);
      have = true;
      p.verifyUntrusted = p.verifyUntrusted || verifying;
      break;
    }
    case 5:    // one character of the next report replaced
    case 6:    // the next report cut short
    case 7: {  // the next report in lower case
      if (p.pending.empty()) return hid::ReadOutcome::kTimeout;
      out = p.pending.front();
      p.pending.pop_front();
      have = true;
      p.verifyUntrusted = p.verifyUntrusted || verifying;
      const std::size_t at = p.script.NextOr(0) % emu::kReportDataSize;
      if (*event % 10 == 5) {
        out.data[at] = p.script.NextOr('G');
      } else if (*event % 10 == 6) {
        std::fill(out.data.begin() + static_cast<std::ptrdiff_t>(at), out.data.end(), 0);
      } else {
        for (auto& c : out.data) c = (c >= 'A' && c <= 'Z') ? static_cast<std::uint8_t>(c + 32) : c;
      }
      break;
    }
    case 8: {  // a checksum that claims the sector is protected
      if (!p.pending.empty()) p.pending.pop_front();
      const std::string_view text = "00FFFFFFFF";
      std::copy(text.begin(), text.end(), out.data.begin());
      have = true;
      p.verifyUntrusted = p.verifyUntrusted || verifying;
      break;
    }
    default:
      if (p.pending.empty()) return hid::ReadOutcome::kTimeout;
      out = p.pending.front();
      p.pending.pop_front();
      have = true;
      // The answer of an earlier request taken for this one.
      if (verifying && out.frame != p.writes) p.verifyUntrusted = true;
      break;
  }
  FUZZ_CHECK(have);
  std::fill(report.begin() + 1, report.end(), 0);
  std::copy_n(out.data.begin(), std::min(out.data.size(), report.size() - 1), report.begin() + 1);
  if (verifying) {
    // The text the tool decodes: up to the first zero byte or carriage return.
    const auto* text = reinterpret_cast<const char*>(out.data.data());
    std::string told(text, strnlen(text, out.data.size()));
    told.resize(std::min(told.size(), told.find('\r')));
    p.told[p.lastAddress] = std::move(told);
  }
  return hid::ReadOutcome::kReport;
}

class CycleDialog : public proto::DialogPort {
 public:
  void SetFieldText(proto::FieldId field, std::string_view text) override {
    if (field == proto::FieldId::kStatus) status.assign(text);
  }
  void ShowMessageBox(std::string_view text) override;

  xfer::TransferController* tool = nullptr;
  CyclePlatform* platform = nullptr;
  std::string status;
  std::string lastBox;
  int depth = 0;
  int ticks = 0;
};

void CycleDialog::ShowMessageBox(std::string_view text) {
  FUZZ_CHECK(depth == 0);  // no tick under a box may open another
  lastBox.assign(text);
  const std::string problem = lumbra::testing::CheckFlagsAtBox(text, tool->State());
  if (!problem.empty()) std::fprintf(stderr, "%s\n", problem.c_str());
  FUZZ_CHECK(problem.empty());
  // The modal box's own loop: ticks keep coming, nothing may be sent.
  ++depth;
  const std::uint64_t writes = platform->writes;
  for (int i = 0; i < 3; ++i) {
    tool->OnTick();
    ++ticks;
  }
  FUZZ_CHECK(platform->writes == writes);
  --depth;
}

emu::ControllerOptions OptionsFor(std::uint8_t choice) {
  emu::ControllerOptions options;
  options.transcriptCapacity = 0;
  switch (choice % 4) {
    case 0: break;  // boot code at 0xF000..0xFBFF, a matching sector after it
    case 1: options.protectedBegin = options.protectedEnd = 0; break;
    case 2: options.protectedEnd = 0x10000; break;  // no matching sector after it
    case 3: options.protectedBegin = 0; options.protectedEnd = 0x400; break;
  }
  // Old content: erased, zeros, the image already there, or a pattern.
  static constexpr std::uint8_t kFills[] = {0xFF, 0x00, 0xFF, 0xA5};
  const std::uint8_t old = (choice >> 2) % 4;
  std::vector<std::uint8_t> flash(emu::kFlashSize, kFills[old]);
  const auto image = xfer::FirmwareImage::Bytes();
  if (old == 2) std::copy(image.begin(), image.end(), flash.begin());
  // The boot code a fresh controller holds, worked out once.
  static const std::vector<std::uint8_t> boot = [] {
    std::vector<std::uint8_t> bytes(emu::kFlashSize);
    for (std::uint32_t a = 0; a < bytes.size(); ++a) bytes[a] = emu::QuorvexController::BootByte(a);
    return bytes;
  }();
  std::copy(boot.begin() + options.protectedBegin, boot.begin() + options.protectedEnd,
            flash.begin() + options.protectedBegin);
  options.initialFlash = std::move(flash);
  return options;
}

bool Outside(const xfer::SkipWindow& window, std::int32_t position) {
  return !window.open || position < window.start || position > window.end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Script script(data, size);
  const std::uint8_t setup = script.NextOr(0);
  // A second press of the button after this many ticks (0: none).
  const int pressAt = script.NextOr(0) * 64;

  CyclePlatform platform(script, OptionsFor(setup));
  CycleDialog dialog;
  xfer::TransferController tool(platform, dialog);
  dialog.tool = &tool;
  dialog.platform = &platform;
  tool.Init();
  tool.BeginDownload();

  auto busy = [&] {
    const auto& flags = tool.State().flags;
    return flags.connectPending || flags.downloading || flags.verifying;
  };
  while (busy()) {
    FUZZ_CHECK(dialog.ticks < kTickLimit);
    if (pressAt != 0 && dialog.ticks == pressAt) tool.BeginDownload();
    tool.OnTick();
    ++dialog.ticks;
  }

  // LUMBRA_FUZZ_TRACE=1 names each run's ending, for reproducing by hand.
  static const bool trace = std::getenv("LUMBRA_FUZZ_TRACE") != nullptr;
  if (trace) std::fprintf(stderr, "ending: %s after %d ticks\n", dialog.status.c_str(), dialog.ticks);
  if (dialog.status != xfer::kVerifyFinished) return 0;
  FUZZ_CHECK(dialog.lastBox == xfer::kVerifyFinishedBox);

  // Every block was asked for, and what the tool was told matches the image
  // wherever it compares.
  const auto image = xfer::FirmwareImage::Bytes();
  const xfer::SkipWindow& window = tool.State().skipWindow;
  std::string expected;
  for (std::uint32_t block = 0; block < emu::kFlashSize; block += emu::kBlockSize) {
    const auto it = platform.told.find(block);
    FUZZ_CHECK(it != platform.told.end());
    std::string text = it->second;
    FUZZ_CHECK(text.size() == 2 * (emu::kBlockSize + 1));
    expected.clear();
    for (std::uint32_t i = 0; i < emu::kBlockSize; ++i) {
      const bool compared = Outside(window, static_cast<std::int32_t>(block + i));
      if (!compared) text[2 * i] = text[2 * i + 1] = '-';
      expected += compared ? "0123456789ABCDEF"[image[block + i] >> 4] : '-';
      expected += compared ? "0123456789ABCDEF"[image[block + i] & 0x0F] : '-';
    }
    FUZZ_CHECK(text.compare(0, expected.size(), expected) == 0);
  }
  if (platform.verifyUntrusted) return 0;
  // Answered honestly, so the flash itself must hold the image outside the window.
  const auto flash = platform.controller.Flash();
  const auto begin = static_cast<std::size_t>(window.open ? std::max(window.start, 0) : 0);
  const auto end = static_cast<std::size_t>(
      window.open ? std::clamp<std::int32_t>(window.end + 1, window.start, emu::kFlashSize) : 0);
  FUZZ_CHECK(std::equal(flash.begin(), flash.begin() + begin, image.begin()));
  FUZZ_CHECK(std::equal(flash.begin() + end, flash.end(), image.begin() + end));
  return 0;
}
