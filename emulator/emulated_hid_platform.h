// An in-process HID platform for tests and the demo: it hosts emulated
// controllers and foreign devices in a chosen enumeration order, so the real
// HidLink runs against them. Nothing here waits: a read with no report queued
// returns kTimeout at once, and Pause only records the time.
//
// Devices enumerate in the order they were added, under paths "emulated:<n>",
// n numbering the plug-ins: a device's index, until replugs take new paths.
// Its port, "emulated-port:<index>", stays.
// Handles must not outlive the platform.
//
// Several threads may use it at once, each with its own devices (lumbra-cli
// flashes several controllers in one process): one mutex guards every slot,
// and is never held while the frame model waits. The references the set-up
// and observation calls return are for a thread that no other one races.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/quorvex_controller.h"
#include "link/device_ids.h"
#include "link/hid_link.h"
#include "link/hid_platform.h"

namespace lumbra::emulator {

// Report length of the emulated controller: report ID byte and 64 data bytes.
inline constexpr std::size_t kReportLength = 1 + kReportDataSize;

// How a device presents itself to the host.
struct DeviceSpec {
  std::uint16_t vendorId = link::kQuorvexVendorIds[0];
  std::uint16_t productId = link::kQuorvexProductIds[0];
  // What the tool checks a stand-in build against; the emulated controller
  // is a virtual one.
  std::string serialNumber{link::kVirtualSerialNumber};
  bool opens = true;                  // false: Open returns nullptr, access denied
  bool attributesReadable = true;     // false: Attributes() is nullopt
  bool capabilitiesReadable = true;   // false: Capabilities() is nullopt
  bool tellsPort = true;              // false: Port() is the path, as for a uhid device
  link::ReportLengths capabilities{kReportLength, kReportLength};
};

// What the host did with one device, over the platform's life.
struct DeviceCounters {
  std::uint32_t opens = 0;
  std::uint32_t closes = 0;
  std::uint32_t writes = 0;          // write calls, failed ones included
  std::uint32_t timeouts = 0;        // reads that waited and got nothing

  std::uint32_t OpenHandles() const { return opens - closes; }
};

class EmulatedHidPlatform : public link::HidPlatform {
 public:
  EmulatedHidPlatform();
  ~EmulatedHidPlatform() override;
  EmulatedHidPlatform(const EmulatedHidPlatform&) = delete;
  EmulatedHidPlatform& operator=(const EmulatedHidPlatform&) = delete;

  // --- Set-up, in enumeration order ----------------------------------------
  QuorvexController& AddController(ControllerOptions options = {}, DeviceSpec spec = {});
  // A device that is not a controller (or merely claims a controller's
  // identifiers): it accepts writes, never answers, and counts its handles.
  std::size_t AddForeign(DeviceSpec spec);

  QuorvexController* ControllerAt(std::size_t index);
  // Where the device is now, or was last.
  std::string PathOf(std::size_t index) const;
  const DeviceCounters& Counters(std::size_t index) const;
  // Handles of non-controller devices still open.
  std::uint32_t OpenForeignHandles() const;

  // --- Plugging ------------------------------------------------------------
  // The device leaves: its handles fail from now on (writes false, reads
  // kFailed) and enumeration skips it. It comes back, reset, on the
  // enumeration after `replugAfter` further enumerations (0: the next one).
  void Unplug(std::size_t index, std::uint32_t replugAfter = kNeverReplug);
  // Comes back at once, reset.
  void Replug(std::size_t index);
  // From now on a device that comes back takes a path no device has had, as
  // a hidraw node's number changes when its device is plugged in again.
  void ReplugAtNewPaths();
  // Once: when a handle that wrote to the device is closed (the host's run
  // is over), the device leaves as Unplug(index, awayFor) has it.
  void ReplugAfterRun(std::size_t index, std::uint32_t awayFor);

  // --- Simulated time ------------------------------------------------------
  std::uint64_t PausedMs() const;
  std::uint32_t Enumerations() const;

  // --- USB full-speed timing (benchmarks) ----------------------------------
  // From now on the bus runs in frames of 1 ms: a write completes at the next
  // frame boundary, the answer to a line becomes readable one frame after that
  // line's write completed, and Pause sleeps for real. Reads and writes wait in
  // wall time; without this nothing waits.
  void UseFrameModel();

  // --- HidPlatform ---------------------------------------------------------
  std::vector<std::string> Enumerate() override;
  Opened Open(const std::string& path) override;
  // The identifiers and serial number the device was set up with, as a system
  // tells them without opening the device.
  std::optional<link::HidAttributes> Identify(const std::string& path) override;
  std::string Port(const std::string& path) override;
  void Pause(int milliseconds) override;

 private:
  struct Slot;
  friend class EmulatedHidDevice;

  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::microseconds kFrame{1000};  // USB full speed

  Slot& Add(DeviceSpec spec, std::unique_ptr<QuorvexController> controller);
  void Unplug(Slot& slot, std::uint32_t replugAfter);
  void Replug(Slot& slot);
  // The first frame boundary after `now`.
  Clock::time_point NextFrame(Clock::time_point now) const;
  Slot* Find(const std::string& path);  // under the lock

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::uint64_t pausedMs_ = 0;
  std::uint32_t enumerations_ = 0;
  bool frameModel_ = false;
  Clock::time_point epoch_;
  bool replugAtNewPaths_ = false;
  std::uint32_t nextNode_ = 0;  // the number of the next new path
};

}  // namespace lumbra::emulator
