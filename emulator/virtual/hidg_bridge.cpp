#include "emulator/virtual/hidg_bridge.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace lumbra::emulator {

namespace {

// How often answers the host does not take are tried again: the HID
// function says nothing when the UDC is unbound, but a write then fails.
constexpr int kRetryMs = 100;

}  // namespace

HidgBridge::HidgBridge(int fd, QuorvexController& controller) : fd_(fd), controller_(controller) {}

bool HidgBridge::Receive(const std::uint8_t* data, std::size_t size) {
  ++counters_.outputReports;
  controller_.ReceiveReport(std::span(data, size));
  // Gone before it answers, like a cable pulled while the host waits.
  if (controller_.TakeUnplugRequest()) return false;
  // A host that sends and never reads fills no more than a device's queue.
  std::vector<std::uint8_t> report(kReportDataSize);
  while (controller_.PollReport(report)) {
    if (pending_.size() < kReportQueueCapacity) pending_.push_back(report); else ++counters_.answersLost;
  }
  return true;
}

bool HidgBridge::Flush() {
  while (!pending_.empty()) {
    const ssize_t n = ::write(fd_, pending_.front().data(), pending_.front().size());
    if (n >= 0) {
      pending_.pop_front();
      ++counters_.inputReports;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return true;  // the host has not taken the last one yet
    if (errno == ESHUTDOWN || errno == ECONNRESET || errno == EPIPE) {
      // Not configured (unbound, or the host reset it): what was queued for
      // the host is lost, as a real device's is on a disconnect.
      counters_.answersLost += pending_.size();
      pending_.clear();
      return true;
    }
    return false;
  }
  return true;
}

BridgeStop HidgBridge::Run(int stopFd) {
  std::array<std::uint8_t, 4 * kReportDataSize> buffer{};
  for (;;) {
    std::array<pollfd, 2> fds{{{fd_, static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT)), 0},
                               {stopFd, POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), pending_.empty() ? -1 : kRetryMs) < 0) {
      if (errno == EINTR) continue;
      return BridgeStop::kDeviceFailed;
    }
    if (fds[1].revents != 0) return BridgeStop::kStopRequested;
    if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[0].revents & POLLIN) == 0) {
      return BridgeStop::kDeviceFailed;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
      if (n < 0 && errno != EINTR && errno != EAGAIN) return BridgeStop::kDeviceFailed;
      if (n == 0 && (fds[0].revents & POLLHUP) != 0) return BridgeStop::kDeviceFailed;  // a test's socket closed
      if (n > 0 && !Receive(buffer.data(), static_cast<std::size_t>(n))) return BridgeStop::kUnplugged;
    }
    if (!Flush()) return BridgeStop::kDeviceFailed;
  }
}

}  // namespace lumbra::emulator
