#include "emulator/virtual/uhid_bridge.h"

#include <linux/input.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "link/hid_link.h"

namespace lumbra::emulator {

namespace {

void CopyText(std::uint8_t* target, std::size_t capacity, std::string_view text) {
  const std::size_t n = std::min(text.size(), capacity - 1);
  std::memcpy(target, text.data(), n);
  target[n] = 0;
}

}  // namespace

uhid_event MakeCreateEvent(std::string_view serial) {
  uhid_event event{};
  event.type = UHID_CREATE2;
  uhid_create2_req& create = event.u.create2;
  CopyText(create.name, sizeof create.name, kVirtualDeviceName);
  CopyText(create.phys, sizeof create.phys, "lumbra/virtual");
  // hidapi reports uniq as the serial number: a stand-in build of lumbra
  // writes only to a controller that carries this one.
  CopyText(create.uniq, sizeof create.uniq, serial);
  const std::span<const std::uint8_t> descriptor = VirtualReportDescriptor();
  std::memcpy(create.rd_data, descriptor.data(), descriptor.size());
  create.rd_size = static_cast<std::uint16_t>(descriptor.size());
  create.bus = BUS_USB;
  create.vendor = kVirtualVendorId;
  create.product = kVirtualProductId;
  create.version = kVirtualVersion;
  create.country = 0;
  return event;
}

UhidBridge::UhidBridge(int fd, QuorvexController& controller) : fd_(fd), controller_(controller) {}

UhidBridge::~UhidBridge() { Destroy(); }

bool UhidBridge::Write(const uhid_event& event) {
  for (;;) {
    const ssize_t n = ::write(fd_, &event, sizeof event);
    if (n == static_cast<ssize_t>(sizeof event)) return true;
    if (n < 0 && errno == EINTR) continue;
    failed_ = true;
    return false;
  }
}

bool UhidBridge::Create(std::string_view serial) {
  if (created_) return true;
  created_ = Write(MakeCreateEvent(serial));
  return created_;
}

void UhidBridge::Destroy() {
  if (!created_) return;
  created_ = false;
  started_ = false;
  opened_ = false;
  uhid_event event{};
  event.type = UHID_DESTROY;
  Write(event);
}

bool UhidBridge::Handle(const uhid_event& event) {
  switch (event.type) {
    case UHID_START: started_ = true; return true;
    case UHID_STOP: started_ = false; return true;
    case UHID_OPEN: opened_ = true; return true;
    case UHID_CLOSE:
      // The host let go; a real controller keeps its state (and service mode).
      opened_ = false;
      return true;
    case UHID_OUTPUT: return HandleOutput(event);
    case UHID_GET_REPORT: {
      // hidraw's feature-report ioctls end up here; the controller has no
      // feature reports. Answer at once, or the caller would wait for the
      // kernel's time-out.
      ++counters_.reportRequests;
      uhid_event reply{};
      reply.type = UHID_GET_REPORT_REPLY;
      reply.u.get_report_reply.id = event.u.get_report.id;
      reply.u.get_report_reply.err = EIO;
      return Write(reply);
    }
    case UHID_SET_REPORT: {
      ++counters_.reportRequests;
      uhid_event reply{};
      reply.type = UHID_SET_REPORT_REPLY;
      reply.u.set_report_reply.id = event.u.set_report.id;
      reply.u.set_report_reply.err = EIO;
      return Write(reply);
    }
    default: ++counters_.otherEvents; return true;
  }
}

bool UhidBridge::HandleOutput(const uhid_event& event) {
  const std::size_t size = std::min<std::size_t>(event.u.output.size, UHID_DATA_MAX);
  if (event.u.output.rtype != UHID_OUTPUT_REPORT || size == 0) {
    ++counters_.otherEvents;
    return true;
  }
  // hidraw passes the writer's first byte, the report ID, through even for a
  // device without numbered reports (where it is 0): the report's data
  // starts behind it.
  ++counters_.outputReports;
  controller_.ReceiveReport(std::span(event.u.output.data + 1, size - 1));
  if (controller_.TakeUnplugRequest()) {
    // Gone before it answers, like a cable pulled while the host waits.
    unplugRequested_ = true;
    return false;
  }
  return SendQueuedReports();
}

bool UhidBridge::SendQueuedReports() {
  uhid_event event{};
  event.type = UHID_INPUT2;
  std::span<std::uint8_t> data(event.u.input2.data, kReportDataSize);
  while (controller_.PollReport(data)) {
    event.u.input2.size = static_cast<std::uint16_t>(kReportDataSize);
    if (!Write(event)) return false;
    ++counters_.inputReports;
  }
  return true;
}

BridgeStop UhidBridge::Run(int stopFd) {
  BridgeStop stop = BridgeStop::kDeviceFailed;
  uhid_event event{};
  for (;;) {
    if (failed_) break;
    std::array<pollfd, 2> fds{{{fd_, POLLIN, 0}, {stopFd, POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) {
      stop = BridgeStop::kStopRequested;
      break;
    }
    if ((fds[0].revents & POLLIN) == 0) {
      if (fds[0].revents != 0) break;  // hang-up or error without data
      continue;
    }
    // The kernel may deliver an event shorter than our struct; the rest
    // must read as zeros.
    std::memset(&event, 0, sizeof event);
    const ssize_t n = ::read(fd_, &event, sizeof event);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < static_cast<ssize_t>(sizeof event.type)) break;
    if (!Handle(event)) {
      stop = unplugRequested_ ? BridgeStop::kUnplugged : BridgeStop::kDeviceFailed;
      break;
    }
  }
  Destroy();
  return stop;
}

}  // namespace lumbra::emulator
