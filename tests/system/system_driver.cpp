// lumbra-system-driver: runs on a real kernel next to the virtual controller
// (uhid) and drives the product's own link (hidapi over hidraw), engines and
// tick dispatcher through downloads, verifications and unplugs, the way one
// user session would. Each scenario is judged by the dialog's texts and boxes
// and by the controller's flash, dumped when it is unplugged. Prints one PASS
// or FAIL line per scenario and a closing "N passed, M failed" line.
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/klog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "link/hid_link.h"
#include "link/hidapi_platform.h"
#include "protocol/command_channel.h"
#include "support/recording_dialog.h"
#include "transfer/firmware_image.h"
#include "transfer/messages.h"
#include "transfer/transfer_controller.h"

extern char** environ;

namespace {

namespace link = lumbra::link;
namespace protocol = lumbra::protocol;
namespace transfer = lumbra::transfer;
using Clock = std::chrono::steady_clock;
using transfer::FieldId;
using transfer::DownloadStep;
using transfer::VerifyStep;

constexpr std::string_view kControllerName = "Quorvex virtual controller";
constexpr std::size_t kFlashSize = transfer::kImageSize;
// The boot code the virtual controller protects; it already holds the
// image's bytes there, as a controller from the factory would.
constexpr std::size_t kBootBegin = 0xF000;
constexpr std::size_t kBootEnd = 0xFC00;
constexpr auto kPlugTimeout = std::chrono::seconds(10);
// A tick that takes longer than this is worth a note.
constexpr auto kSlowTick = std::chrono::milliseconds(500);
// A whole download and verification under software emulation, with room.
constexpr auto kActivityTimeout = std::chrono::seconds(240);

using Flash = std::vector<std::uint8_t>;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Hex(std::size_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%zX", value);
  return text;
}

// The text of a box or status line, with its line breaks visible.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Quoted(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (const std::string& t : texts) out += (out.size() > 1 ? ", " : "") + Quoted(t);
  return out + "]";
}

// --- The virtual controller's hidraw node -------------------------------------

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// "/dev/hidrawN" of the virtual controller, from sysfs; nullopt while absent.
std::optional<std::string> VirtualNode() {
  DIR* dir = ::opendir("/sys/class/hidraw");
  if (dir == nullptr) return std::nullopt;
  std::optional<std::string> node;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind("hidraw", 0) != 0) continue;
    const std::string uevent = ReadSmallFile("/sys/class/hidraw/" + name + "/device/uevent");
    if (uevent.find("HID_NAME=" + std::string(kControllerName)) != std::string::npos) {
      node = "/dev/" + name;
      break;
    }
  }
  ::closedir(dir);
  return node;
}

// How often the kernel log says uhid dropped an output report so far.
int UhidDrops() {
  constexpr int kReadAll = 3;      // SYSLOG_ACTION_READ_ALL
  constexpr int kSizeBuffer = 10;  // SYSLOG_ACTION_SIZE_BUFFER
  const int size = ::klogctl(kSizeBuffer, nullptr, 0);
  if (size <= 0) return 0;
  std::string log(static_cast<std::size_t>(size), '\0');
  const int n = ::klogctl(kReadAll, log.data(), size);
  if (n <= 0) return 0;
  log.resize(static_cast<std::size_t>(n));
  int drops = 0;
  for (std::size_t at = log.find("Output queue is full"); at != std::string::npos;
       at = log.find("Output queue is full", at + 1)) {
    ++drops;
  }
  return drops;
}

bool WaitFor(const std::function<bool()>& condition, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// One plug-in of the virtual controller: a child process. Unplugging ends it
// (SIGTERM); it destroys the uhid device and dumps its flash on the way out.
class VirtualController {
 public:
  VirtualController(std::string program, std::string flashIn, std::string flashOut)
      : program_(std::move(program)),
        flashIn_(std::move(flashIn)),
        flashOut_(std::move(flashOut)) {}
  ~VirtualController() {
    if (pid_ > 0) Unplug();
  }
  VirtualController(const VirtualController&) = delete;
  VirtualController& operator=(const VirtualController&) = delete;

  // Starts it and waits for its hidraw node. Returns an error text, empty on success.
  std::string PlugIn(std::vector<std::string> extra = {}) {
    std::remove(flashOut_.c_str());
    std::vector<std::string> args = {program_, "--quiet",     "--flash-in",
                                     flashIn_, "--flash-out", flashOut_};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // uhid queues at most 32 output reports and drops the rest, and the
    // ticks here come without the dialog's 25 ms pause: on one CPU the
    // controller must run the moment a report arrives, so it gets a
    // real-time priority above the driver's.
    posix_spawnattr_t attr;
    ::posix_spawnattr_init(&attr);
    sched_param param{};
    param.sched_priority = 10;
    ::posix_spawnattr_setschedpolicy(&attr, SCHED_FIFO);
    ::posix_spawnattr_setschedparam(&attr, &param);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSCHEDULER);
    const int spawned =
        ::posix_spawn(&pid_, program_.c_str(), nullptr, &attr, argv.data(), environ);
    ::posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
      pid_ = -1;
      return "cannot start " + program_ + ": " + std::strerror(spawned);
    }
    bool exited = false;
    const bool plugged = WaitFor(
        [&] {
          if (Reap(false)) exited = true;
          return exited || (VirtualNode() && ::access(VirtualNode()->c_str(), R_OK | W_OK) == 0);
        },
        kPlugTimeout);
    if (exited)
      return "the virtual controller exited at start (status " + std::to_string(status_) + ")";
    if (!plugged) return "no hidraw node appeared for the virtual controller";
    return {};
  }

  // SIGTERM, then waits until it is gone and its node with it.
  std::string Unplug() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    return WaitGone();
  }

  // For a controller that unplugs itself: waits for it to end.
  std::string WaitGone() {
    if (pid_ > 0 && !WaitFor([&] { return Reap(false); }, kPlugTimeout)) {
      ::kill(pid_, SIGKILL);
      Reap(true);
      return "the virtual controller did not end";
    }
    if (!WaitFor([] { return !VirtualNode(); }, kPlugTimeout)) return "its hidraw node stayed";
    if (status_ != 0) return "the virtual controller ended with status " + std::to_string(status_);
    return {};
  }

  // The flash it dumped when it went away.
  std::optional<Flash> DumpedFlash() const {
    std::ifstream in(flashOut_, std::ios::binary);
    if (!in) return std::nullopt;
    Flash bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() != kFlashSize) return std::nullopt;
    return bytes;
  }

 private:
  bool Reap(bool block) {
    if (pid_ <= 0) return true;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (r != pid_) return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return true;
  }

  std::string program_;
  std::string flashIn_;
  std::string flashOut_;
  pid_t pid_ = -1;
  int status_ = 0;
};

// --- The tool's side ------------------------------------------------------------

// One run of the tool: the dialog (recorded, boxes dismissed at once) and
// the controller logic behind it over the real hidapi platform.
class Session {
 public:
  Session() : transfer_(platform_, dialog_) {
    transfer_.Init();
    // A modal box keeps the timer running: a few ticks arrive while it is
    // open. Not nested: a box shown by such a tick gets none.
    dialog_.whileBoxOpen = [this](const std::string&) {
      if (inBox_) return;
      inBox_ = true;
      for (int i = 0; i < 3; ++i) transfer_.OnTick();
      inBox_ = false;
    };
  }

  transfer::TransferController& Tool() { return transfer_; }
  const transfer::TransferState& State() const { return transfer_.State(); }
  link::HidLink& Link() { return transfer_.Link(); }
  const lumbra::testing::RecordingDialog& Dialog() const { return dialog_; }

  bool Idle() const {
    const protocol::ActivityFlags& f = State().flags;
    return !f.connectPending && !f.downloading && !f.verifying;
  }

  // Ticks with no pause between them until `until` holds (or, without one,
  // until nothing is active). False when the time ran out first.
  bool Tick(const std::function<bool()>& until = {}) {
    const auto deadline = Clock::now() + kActivityTimeout;
    for (;;) {
      if (until ? until() : Idle()) return true;
      if (until && Idle()) return false;  // the activity ended before the moment came
      if (Clock::now() > deadline) return false;
      const auto before = Clock::now();
      const std::string where = Where();
      transfer_.OnTick();
      const auto took = Clock::now() - before;
      if (took > kSlowTick) {
        char note[160];
        std::snprintf(note, sizeof note, "a tick in %s took %.1f s (status now %s)", where.c_str(),
                      Seconds(took), Quoted(dialog_.Status()).c_str());
        notes_.push_back(note);
      }
    }
  }

  // Ticks that blocked long (a read waiting out its time-out), since the last Mark.
  const std::vector<std::string>& Notes() const { return notes_; }

  // Marks the start of a scenario's share of the recordings.
  void Mark() {
    notes_.clear();
    boxMark_ = dialog_.boxes.size();
    statusMark_ = dialog_.statusHistory.size();
  }
  std::vector<std::string> Boxes() const {
    return {dialog_.boxes.begin() + static_cast<std::ptrdiff_t>(boxMark_), dialog_.boxes.end()};
  }
  std::vector<std::string> Statuses() const {
    return {dialog_.statusHistory.begin() + static_cast<std::ptrdiff_t>(statusMark_),
            dialog_.statusHistory.end()};
  }

 private:
  lumbra::testing::RecordingDialog dialog_;
  link::HidapiPlatform platform_;
  transfer::TransferController transfer_;
  // What the next tick will do, for the notes.
  std::string Where() const {
    const transfer::TransferState& st = State();
    char text[80];
    if (st.flags.connectPending) return "the handshake";
    if (st.flags.downloading) {
      std::snprintf(text, sizeof text, "download %s at 0x%X", transfer::ToString(st.downloadStep),
                    static_cast<unsigned>(st.currentAddress));
    } else {
      std::snprintf(text, sizeof text, "verify %s at 0x%X", transfer::ToString(st.verifyStep),
                    static_cast<unsigned>(st.currentAddress));
    }
    return text;
  }

  bool inBox_ = false;
  std::vector<std::string> notes_;
  std::size_t boxMark_ = 0;
  std::size_t statusMark_ = 0;
};

// --- Checks -----------------------------------------------------------------------

class Checks {
 public:
  void Expect(bool ok, const std::string& what) {
    if (!ok) failures_.push_back(what);
  }
  void Fail(const std::string& what) { failures_.push_back(what); }
  // `error` from a helper: empty means fine.
  void Ok(const std::string& error) {
    if (!error.empty()) failures_.push_back(error);
  }
  void Boxes(const Session& s, const std::vector<std::string_view>& expected) {
    const std::vector<std::string> got = s.Boxes();
    if (!std::equal(got.begin(), got.end(), expected.begin(), expected.end())) {
      std::vector<std::string> want(expected.begin(), expected.end());
      Fail("boxes " + Quoted(got) + ", expected " + Quoted(want));
    }
  }
  void Status(const Session& s, std::string_view expected) {
    const std::string got = s.Dialog().Status();
    if (got != expected) Fail("status " + Quoted(got) + ", expected " + Quoted(expected));
  }
  // `expected` appear in this order among the scenario's status texts.
  void StatusSequence(const Session& s, const std::vector<std::string_view>& expected) {
    const std::vector<std::string> got = s.Statuses();
    auto it = got.begin();
    for (std::string_view text : expected) {
      it = std::find(it, got.end(), text);
      if (it == got.end()) {
        Fail("status line never showed " + Quoted(text) + " in order");
        return;
      }
      ++it;
    }
  }
  void Field(const Session& s, FieldId field, std::string_view expected) {
    const std::string got = s.Dialog().Field(field);
    if (got != expected) {
      Fail("field " + std::to_string(static_cast<int>(field)) + " " + Quoted(got) + ", expected " +
           Quoted(expected));
    }
  }
  // The flash from `begin` to `end` equals `expected` there.
  void FlashRange(const Flash& flash, const Flash& expected, std::size_t begin, std::size_t end,
                  const std::string& what) {
    for (std::size_t a = begin; a < end; ++a) {
      if (flash[a] != expected[a]) {
        Fail(what + ": flash " + Hex(a) + " = " + Hex(flash[a]) + ", expected " + Hex(expected[a]));
        return;
      }
    }
  }
  void FlashFilled(const Flash& flash, std::uint8_t value, std::size_t begin, std::size_t end,
                   const std::string& what) {
    for (std::size_t a = begin; a < end; ++a) {
      if (flash[a] != value) {
        Fail(what + ": flash " + Hex(a) + " = " + Hex(flash[a]) + ", expected " + Hex(value));
        return;
      }
    }
  }

  const std::vector<std::string>& Failures() const { return failures_; }

 private:
  std::vector<std::string> failures_;
};

// --- Scenarios ----------------------------------------------------------------------

struct Fixture {
  std::string controllerProgram;
  std::string workDir;
  Flash image;
  Flash oldFirmware;  // what each controller holds when plugged in
  std::string oldFirmwarePath;
  int plugCount = 0;

  std::unique_ptr<VirtualController> NewController() {
    const std::string out = workDir + "/flash-" + std::to_string(++plugCount) + ".bin";
    return std::make_unique<VirtualController>(controllerProgram, oldFirmwarePath, out);
  }
};

// Unplugs, then compares the dumped flash with the image (or whatever `check` says).
void UnplugAndCheckFlash(VirtualController& controller, Checks& c, bool selfUnplugged,
                         const std::function<void(const Flash&)>& check) {
  c.Ok(selfUnplugged ? controller.WaitGone() : controller.Unplug());
  const std::optional<Flash> flash = controller.DumpedFlash();
  if (!flash) {
    c.Fail("no flash dump from the virtual controller");
    return;
  }
  check(*flash);
}

// The tool starts with nothing plugged in and the user presses Download.
void NoController(Fixture&, Session& s, Checks& c) {
  c.Expect(!VirtualNode(), "a virtual controller is already plugged in");
  s.Tool().BeginDownload();
  c.Expect(s.Tick(), "the handshake did not end");
  c.Boxes(s, {transfer::kNotDetectedBox});
  c.Status(s, link::kNotDetected);
  c.Expect(!s.Link().m_bOpen, "the link is open");
  c.Expect(!s.State().serviceMode, "service mode without a controller");
}

// Plugged in, a whole download and verification; the flash ends up as the image.
void WholeRun(Fixture& f, Session& s, Checks& c) {
  auto controller = f.NewController();
  c.Ok(controller->PlugIn());
  s.Tool().BeginDownload();
  c.Expect(s.Tick(), "the download and verification did not end in time");
  c.Boxes(s, {transfer::kVerifyFinishedBox});
  c.StatusSequence(
      s, {link::kDetected, transfer::kConnected, transfer::kDownloadingSector,
          transfer::kReadingChecksum, transfer::kDownloadFinished, transfer::kVerifyFinished});
  c.Status(s, transfer::kVerifyFinished);
  c.Field(s, FieldId::kDownloadPercent, transfer::kPercentComplete);
  c.Field(s, FieldId::kVerifyPercent, transfer::kPercentComplete);
  c.Field(s, FieldId::kErrors, "");
  c.Expect(s.State().serviceMode, "the controller's SERVICE ON went unnoticed");
  c.Expect(s.State().skipWindow.open && s.State().skipWindow.start == static_cast<int>(kBootBegin),
           "the boot code's sectors were not recorded as protected");
  UnplugAndCheckFlash(*controller, c, false, [&](const Flash& flash) {
    c.FlashRange(flash, f.image, 0, kFlashSize, "after the download");
  });
}

// The cable comes out in the middle of sector 16 (between two ticks).
void UnplugDuringDownload(Fixture& f, Session& s, Checks& c) {
  constexpr std::uint32_t kSector = 0x4000;
  constexpr int kChunksSent = 20;
  auto controller = f.NewController();
  c.Ok(controller->PlugIn());
  s.Tool().BeginDownload();
  const bool reached = s.Tick([&] {
    const auto& st = s.State();
    return st.downloadStep == DownloadStep::kSendData && st.currentAddress == kSector &&
           st.chunkCount == kChunksSent;
  });
  c.Expect(reached, "the download never reached sector " + Hex(kSector));
  UnplugAndCheckFlash(*controller, c, false, [&](const Flash& flash) {
    const std::size_t written = kSector + kChunksSent * 16;
    c.FlashRange(flash, f.image, 0, written, "written before the unplug");
    c.FlashFilled(flash, 0xFF, written, kSector + transfer::kSectorSize,
                  "erased rest of the sector");
    c.FlashRange(flash, f.oldFirmware, kSector + transfer::kSectorSize, kFlashSize, "untouched");
  });
  c.Expect(s.Tick(), "the download did not end after the unplug");
  c.Boxes(s, {protocol::kDownloadSendFailedBox});
  c.Status(s, link::kNotDetected);
  c.Expect(!s.Link().m_bOpen, "the link still counts as open");
}

// The controller vanishes right after a Sector checksum request, while the
// tool waits for the answer.
void UnplugAwaitingChecksum(Fixture& f, Session& s, Checks& c) {
  constexpr std::uint32_t kSectorIndex = 8;
  auto controller = f.NewController();
  c.Ok(controller->PlugIn({"--unplug-at", "checksum:" + std::to_string(kSectorIndex + 1)}));
  s.Tool().BeginDownload();
  c.Expect(s.Tick(), "the download did not end after the unplug");
  UnplugAndCheckFlash(*controller, c, true, [&](const Flash& flash) {
    const std::size_t written = (kSectorIndex + 1) * transfer::kSectorSize;
    c.FlashRange(flash, f.image, 0, written, "written before the unplug");
    c.FlashRange(flash, f.oldFirmware, written, kFlashSize, "untouched");
  });
  c.Expect(s.Link().LastMessage() == link::kUndefinedError,
           "the failed read left " + Quoted(s.Link().LastMessage()));
  c.Boxes(s, {protocol::kDownloadSendFailedBox, transfer::kSectorAddressFailedBox});
  c.StatusSequence(
      s, {transfer::kReadingChecksum, link::kNotDetected, transfer::kSectorAddressFailed});
  c.Status(s, transfer::kSectorAddressFailed);
}

// The cable comes out during the verification, before the block at 0x8000.
void UnplugDuringVerify(Fixture& f, Session& s, Checks& c) {
  constexpr std::uint32_t kBlock = 0x8000;
  auto controller = f.NewController();
  c.Ok(controller->PlugIn());
  s.Tool().BeginDownload();
  const bool reached = s.Tick([&] {
    const auto& st = s.State();
    return st.flags.verifying && st.verifyStep == VerifyStep::kSendAddress &&
           st.currentAddress == kBlock;
  });
  c.Expect(reached, "the verification never reached " + Hex(kBlock));
  UnplugAndCheckFlash(*controller, c, false, [&](const Flash& flash) {
    c.FlashRange(flash, f.image, 0, kFlashSize, "after the download");
  });
  c.Expect(s.Tick(), "the verification did not end after the unplug");
  // The send fails for good and says so; the step's own failure would say the
  // same again, so one box.
  c.Boxes(s, {transfer::kVerifyReadFailedBox});
  c.StatusSequence(
      s, {"Verifying address 0x8000", link::kNotDetected, transfer::kVerifyAddressFailed});
  c.Status(s, transfer::kVerifyAddressFailed);
  c.Expect(!s.Link().m_bOpen, "the link still counts as open");
}

// The controller vanishes right after a Verify address request, while the
// tool waits for the block.
void UnplugAwaitingBlock(Fixture& f, Session& s, Checks& c) {
  constexpr std::uint32_t kBlockIndex = 0x800;  // the block at 0x8000
  auto controller = f.NewController();
  c.Ok(controller->PlugIn({"--unplug-at", "verify:" + std::to_string(kBlockIndex + 1)}));
  s.Tool().BeginDownload();
  c.Expect(s.Tick(), "the verification did not end after the unplug");
  UnplugAndCheckFlash(*controller, c, true, [&](const Flash& flash) {
    c.FlashRange(flash, f.image, 0, kFlashSize, "after the download");
  });
  c.Boxes(s, {transfer::kVerifyReadFailedBox});
  c.Status(s, transfer::kVerifyAddressFailed);
  c.Expect(s.State().currentAddress == kBlockIndex * 16,
           "the verification stopped at " + Hex(s.State().currentAddress));
}

// Plugged in again after all that: the same dialog downloads and verifies.
void ReplugDownload(Fixture& f, Session& s, Checks& c) {
  auto controller = f.NewController();
  c.Ok(controller->PlugIn());
  s.Tool().BeginDownload();
  c.Expect(s.Tick(), "the download and verification did not end in time");
  c.Boxes(s, {transfer::kVerifyFinishedBox});
  c.StatusSequence(s, {link::kDetected, transfer::kDownloadFinished, transfer::kVerifyFinished});
  c.Status(s, transfer::kVerifyFinished);
  c.Field(s, FieldId::kErrors, "");
  UnplugAndCheckFlash(*controller, c, false, [&](const Flash& flash) {
    c.FlashRange(flash, f.image, 0, kFlashSize, "after the download");
  });
}

// The next controller on the bench, while the link still holds the last
// one's handle: the tool finds it gone, asks the new one for service mode and
// downloads.
void NextController(Fixture& f, Session& s, Checks& c) {
  auto controller = f.NewController();
  c.Ok(controller->PlugIn());
  s.Tool().BeginDownload();
  c.Expect(s.Tick(), "the download and verification did not end in time");
  c.Boxes(s, {transfer::kVerifyFinishedBox});
  c.StatusSequence(s, {transfer::kConnected, transfer::kDownloadFinished, transfer::kVerifyFinished});
  UnplugAndCheckFlash(*controller, c, false, [&](const Flash& flash) {
    c.FlashRange(flash, f.image, 0, kFlashSize, "after the download");
  });
}

struct Scenario {
  const char* name;
  void (*run)(Fixture&, Session&, Checks&);
};

// In this order, in one session, as a user would meet them.
constexpr Scenario kScenarios[] = {
    {"no_controller", NoController},
    {"whole_run", WholeRun},
    {"unplug_during_download", UnplugDuringDownload},
    {"unplug_awaiting_checksum", UnplugAwaitingChecksum},
    {"unplug_during_verify", UnplugDuringVerify},
    {"unplug_awaiting_block", UnplugAwaitingBlock},
    {"replug_download", ReplugDownload},
    {"next_controller", NextController},
};

bool WriteFile(const std::string& path, const Flash& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  Fixture f;
  f.workDir = "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view arg = argv[i];
    if (arg == "--controller") {
      f.controllerProgram = argv[i + 1];
    } else if (arg == "--work-dir") {
      f.workDir = argv[i + 1];
    }
  }
  if (f.controllerProgram.empty()) {
    std::fprintf(stderr, "usage: lumbra-system-driver --controller PATH [--work-dir DIR]\n");
    return 2;
  }

  const auto image = transfer::FirmwareImage::Bytes();
  f.image.assign(image.begin(), image.end());
  // Some other firmware, every byte different from the image outside the
  // boot code, so a byte that was never written cannot pass for one that was.
  f.oldFirmware = f.image;
  for (std::size_t a = 0; a < kFlashSize; ++a) {
    if (a < kBootBegin || a >= kBootEnd) f.oldFirmware[a] ^= 0x5A;
  }
  f.oldFirmwarePath = f.workDir + "/old-firmware.bin";
  if (!WriteFile(f.oldFirmwarePath, f.oldFirmware)) {
    std::fprintf(stderr, "cannot write %s\n", f.oldFirmwarePath.c_str());
    return 2;
  }

  Session session;
  int passed = 0;
  int failed = 0;
  for (const Scenario& scenario : kScenarios) {
    session.Mark();
    Checks checks;
    const auto start = Clock::now();
    const int dropsBefore = UhidDrops();
    scenario.run(f, session, checks);
    // No scenario makes the controller answer a checksum wrongly: a resend
    // means reports went missing on the way.
    const std::vector<std::string> statuses = session.Statuses();
    checks.Expect(
        std::find(statuses.begin(), statuses.end(), transfer::kResendingSector) == statuses.end(),
        "a sector was resent");
    const int drops = UhidDrops() - dropsBefore;
    checks.Expect(drops == 0, "uhid dropped " + std::to_string(drops) + " output reports");
    const double seconds = Seconds(Clock::now() - start);
    if (checks.Failures().empty()) {
      ++passed;
      std::printf("PASS %s (%.1f s)\n", scenario.name, seconds);
    } else {
      ++failed;
      std::printf("FAIL %s (%.1f s):", scenario.name, seconds);
      for (const std::string& failure : checks.Failures()) std::printf(" %s;", failure.c_str());
      std::printf("\n");
    }
    for (const std::string& note : session.Notes()) std::printf("  note: %s\n", note.c_str());
    std::fflush(stdout);
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
