// lumbra-virtual-controller: plugs an emulated Quorvex controller into this
// machine through /dev/uhid, or into whatever host a USB device controller
// (UDC) is cabled to as a USB HID gadget, so lumbra finds it like real
// hardware, until Ctrl+C (or SIGTERM, SIGHUP) unplugs it.
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/fault.h"
#include "emulator/quorvex_controller.h"
#include "emulator/virtual/hidg_bridge.h"
#include "emulator/virtual/uhid_bridge.h"
#include "emulator/virtual/usb_gadget.h"

namespace {

using lumbra::emulator::Command;
using lumbra::emulator::kFlashSize;

constexpr std::string_view kProgram = "lumbra-virtual-controller";

constexpr std::string_view kUsage =
    "Usage: lumbra-virtual-controller [options]\n"
    "Plugs an emulated Quorvex controller (USB HID 4242:C003) in through /dev/uhid,\n"
    "or with --gadget as a USB device, until Ctrl+C or SIGTERM unplugs it.\n"
    "\n"
    "  --gadget [UDC]      a USB HID gadget (configfs) on this USB device controller\n"
    "                      (default: the first in /sys/class/udc), for the host at\n"
    "                      the other end of its cable or, with dummy_hcd, this one\n"
    "  --flash-in FILE     start with this 65,536-byte flash content\n"
    "                      (default: erased, boot code at 0xF000-0xFBFF)\n"
    "  --flash-out FILE    write the flash content to FILE when unplugged\n"
    "  --unplug-at CMD[:N] unplug (or unbind the gadget) right after receiving the N-th (default 1st)\n"
    "                      frame of CMD, before answering it; CMD is one of\n"
    "                      service, start, address, data, checksum, verify, any\n"
    "  --serial TEXT       the HID serial number (default lumbra-virtual, the one\n"
    "                      a stand-in build of lumbra writes to)\n"
    "  --uhid PATH         the uhid device (default /dev/uhid)\n"
    "  --quiet             print errors only\n"
    "  --help              show this text\n";

struct Options {
  std::string flashIn;
  std::string flashOut;
  std::optional<lumbra::emulator::Fault> unplug;
  std::string uhidPath = "/dev/uhid";
  bool gadget = false;
  std::string udc;  // empty: the first
  std::string serial{lumbra::link::kVirtualSerialNumber};
  bool quiet = false;
};

void Error(std::string_view message) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(kProgram.size()), kProgram.data(),
               static_cast<int>(message.size()), message.data());
}

std::optional<Command> CommandNamed(std::string_view name) {
  if (name == "service") return Command::kServiceOn;
  if (name == "start") return Command::kStartDownload;
  if (name == "address") return Command::kSectorAddress;
  if (name == "data") return Command::kSectorData;
  if (name == "checksum") return Command::kSectorChecksum;
  if (name == "verify") return Command::kVerifyAddress;
  return std::nullopt;
}

// "checksum:9" -> unplug on the 9th Sector checksum frame; "any:120" -> on frame 120.
std::optional<lumbra::emulator::Fault> ParseUnplug(std::string_view text) {
  const std::size_t colon = text.find(':');
  const std::string_view name = text.substr(0, colon);
  std::uint32_t ordinal = 1;
  if (colon != std::string_view::npos) {
    const std::string_view number = text.substr(colon + 1);
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), ordinal);
    if (ec != std::errc() || end != number.data() + number.size() || ordinal == 0) {
      return std::nullopt;
    }
  }
  lumbra::emulator::Fault fault = lumbra::emulator::Fault::Unplug(ordinal);
  if (name != "any") {
    const std::optional<Command> command = CommandNamed(name);
    if (!command) return std::nullopt;
    fault.target.command = *command;
  }
  return fault;
}

// Returns false after printing what is wrong.
bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help") {
      std::fputs(kUsage.data(), stdout);
      std::exit(0);
    } else if (arg == "--gadget") {
      options.gadget = true;
      if (hasValue && !std::string_view(argv[i + 1]).starts_with("--")) options.udc = argv[++i];
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--flash-in" && hasValue) {
      options.flashIn = argv[++i];
    } else if (arg == "--flash-out" && hasValue) {
      options.flashOut = argv[++i];
    } else if (arg == "--serial" && hasValue) {
      options.serial = argv[++i];
    } else if (arg == "--uhid" && hasValue) {
      options.uhidPath = argv[++i];
    } else if (arg == "--unplug-at" && hasValue) {
      options.unplug = ParseUnplug(argv[++i]);
      if (!options.unplug) {
        Error(std::string("bad --unplug-at value: ") + argv[i]);
        return false;
      }
    } else {
      Error(std::string("unknown option or missing value: ") + std::string(arg));
      std::fputs(kUsage.data(), stderr);
      return false;
    }
  }
  if (options.gadget && options.uhidPath != "/dev/uhid") {
    Error("--uhid and --gadget do not go together: a gadget does not use uhid");
    return false;
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> ReadFlashFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (bytes.size() != kFlashSize) return std::nullopt;
  return bytes;
}

// Written under a temporary name first, so a reader never sees half a flash.
bool WriteFlashFile(const std::string& path, std::span<const std::uint8_t> flash) {
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(flash.data()),
              static_cast<std::streamsize>(flash.size()));
    if (!out) return false;
  }
  return std::rename(partial.c_str(), path.c_str()) == 0;
}

// Explains the usual reasons /dev/uhid cannot be opened.
void ExplainOpenFailure(const std::string& path, int error) {
  if (error == ENOENT || error == ENODEV || error == ENXIO) {
    Error(path +
          " does not exist: the uhid kernel module is not loaded.\n"
          "Load it with 'sudo modprobe uhid' and try again.");
  } else if (error == EACCES || error == EPERM) {
    Error("no permission to open " + path +
          ": run as root (sudo), or give your\n"
          "user access to it with a udev rule.");
  } else {
    Error("cannot open " + path + ": " + std::strerror(error));
  }
}

// The last line: why the device went, and the reports that passed.
void SayUnplugged(lumbra::emulator::BridgeStop stop, const lumbra::emulator::BridgeCounters& counters,
                  bool gadget) {
  std::fprintf(stderr, "%s: unplugged (%s) after %llu reports in, %llu out", kProgram.data(),
               lumbra::emulator::ToString(stop), static_cast<unsigned long long>(counters.outputReports),
               static_cast<unsigned long long>(counters.inputReports));
  if (gadget) {
    std::fprintf(stderr, ", %llu answers lost (unbound, or not read)",
                 static_cast<unsigned long long>(counters.answersLost));
  }
  std::fputc('\n', stderr);
}

// Serves the controller through /dev/uhid; the exit status.
int ServeUhid(const Options& options, lumbra::emulator::QuorvexController& controller, int stopFd) {
  const int uhid = ::open(options.uhidPath.c_str(), O_RDWR | O_CLOEXEC);
  if (uhid < 0) {
    ExplainOpenFailure(options.uhidPath, errno);
    return 1;
  }

  int status = 0;
  {
    lumbra::emulator::UhidBridge bridge(uhid, controller);
    if (!bridge.Create(options.serial)) {
      Error(std::string("the kernel refused the device: ") + std::strerror(errno));
      ::close(uhid);
      return 1;
    }
    if (!options.quiet) {
      std::fprintf(stderr, "%s: plugged in as USB HID %04X:%04X \"%s\"; Ctrl+C unplugs it\n",
                   kProgram.data(), lumbra::emulator::kVirtualVendorId,
                   lumbra::emulator::kVirtualProductId,
                   lumbra::emulator::kVirtualDeviceName.data());
    }
    const lumbra::emulator::BridgeStop stop = bridge.Run(stopFd);
    if (stop == lumbra::emulator::BridgeStop::kDeviceFailed) {
      Error("lost /dev/uhid; the device is gone");
      status = 1;
    }
    if (!options.quiet) SayUnplugged(stop, bridge.Counters(), false);
  }
  ::close(uhid);
  return status;
}

// The hidg node of the gadget's HID function, from its "major:minor".
std::string HidgNode(const std::string& device) {
  std::error_code error;
  const std::filesystem::path target = std::filesystem::read_symlink("/sys/dev/char/" + device, error);
  return error || device.empty() ? std::string() : "/dev/" + target.filename().string();
}

// Serves the controller as a USB HID gadget; the exit status.
int ServeGadget(const Options& options, lumbra::emulator::QuorvexController& controller, int stopFd) {
  lumbra::emulator::SystemConfigFs configFs;
  lumbra::emulator::UsbGadget gadget(configFs);
  if (const std::string error = gadget.Create(options.serial, options.udc); !error.empty()) {
    Error("cannot make the USB gadget: " + error);
    return 1;
  }
  const std::string node = HidgNode(gadget.HidgDevice());
  const int hidg = node.empty() ? -1 : ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (hidg < 0) {
    Error("cannot open the gadget's HID device " + (node.empty() ? gadget.Path() + "/functions/hid.usb0/dev" : node) +
          ": " + std::strerror(errno));
    return 1;
  }
  if (!options.quiet) {
    std::fprintf(stderr, "%s: USB HID %04X:%04X \"%s\" bound to %s (%s; %s, %s); Ctrl+C unplugs it\n",
                 kProgram.data(), lumbra::emulator::kVirtualVendorId, lumbra::emulator::kVirtualProductId,
                 lumbra::emulator::kVirtualDeviceName.data(), gadget.Udc().c_str(), gadget.Path().c_str(),
                 node.c_str(), gadget.SpeedNote().c_str());
  }
  lumbra::emulator::HidgBridge bridge(hidg, controller);
  const lumbra::emulator::BridgeStop stop = bridge.Run(stopFd);
  const int cause = errno;
  int status = 0;
  if (stop == lumbra::emulator::BridgeStop::kDeviceFailed) {
    Error(node + " failed: " + std::strerror(cause));
    status = 1;
  }
  ::close(hidg);
  gadget.Remove();
  if (!options.quiet) SayUnplugged(stop, bridge.Counters(), true);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) return 2;

  lumbra::emulator::ControllerOptions controllerOptions;
  if (!options.flashIn.empty()) {
    std::optional<std::vector<std::uint8_t>> flash = ReadFlashFile(options.flashIn);
    if (!flash) {
      Error("cannot read " + options.flashIn + " as a 65,536-byte flash image");
      return 2;
    }
    controllerOptions.initialFlash = std::move(*flash);
  }
  lumbra::emulator::QuorvexController controller(std::move(controllerOptions));
  if (options.unplug) controller.AddFault(*options.unplug);

  // The signals arrive as a readable descriptor, so the bridge's poll sees
  // them and unplugs the device before the process ends.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    Error("cannot block the stop signals");
    return 1;
  }
  const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (stopFd < 0) {
    Error(std::string("signalfd: ") + std::strerror(errno));
    return 1;
  }

  int status = options.gadget ? ServeGadget(options, controller, stopFd) : ServeUhid(options, controller, stopFd);
  if (!options.flashOut.empty() && !WriteFlashFile(options.flashOut, controller.Flash())) {
    Error("cannot write the flash to " + options.flashOut);
    status = 1;
  }
  return status;
}
