// The uhid bridge against a stand-in kernel: the far end of a SOCK_SEQPACKET
// socket pair, which keeps event boundaries the way /dev/uhid does.
#include "emulator/virtual/uhid_bridge.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "emulator/fault.h"
#include "link/device_ids.h"
#include "link/report_descriptor.h"

namespace lumbra::emulator {
namespace {

// The kernel's side of /dev/uhid.
class FakeKernel {
 public:
  FakeKernel() {
    // Writing to a socket whose peer is gone would raise SIGPIPE; the
    // bridge is to see the error instead, as with a closed /dev/uhid.
    ::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    device_ = fds[0];
    kernel_ = fds[1];
  }
  ~FakeKernel() {
    ::close(device_);
    CloseKernelEnd();
  }
  FakeKernel(const FakeKernel&) = delete;
  FakeKernel& operator=(const FakeKernel&) = delete;

  int DeviceFd() const { return device_; }
  void CloseKernelEnd() {
    if (kernel_ >= 0) ::close(kernel_);
    kernel_ = -1;
  }

  void Send(const uhid_event& event) {
    ASSERT_EQ(::write(kernel_, &event, sizeof event), static_cast<ssize_t>(sizeof event));
  }
  void Send(std::uint32_t type) {
    uhid_event event{};
    event.type = type;
    Send(event);
  }
  // An output report as hidraw hands it over: the report ID byte, then the data.
  void SendOutput(std::string_view line, std::uint8_t rtype = UHID_OUTPUT_REPORT) {
    uhid_event event{};
    event.type = UHID_OUTPUT;
    event.u.output.rtype = rtype;
    event.u.output.data[0] = 0;  // report ID
    std::memcpy(event.u.output.data + 1, line.data(), line.size());
    event.u.output.data[1 + line.size()] = '\r';
    event.u.output.size = 65;
    Send(event);
  }

  // The next event the device wrote, or nullopt when none comes in time.
  std::optional<uhid_event> Receive(int timeoutMs = 2000) {
    pollfd pfd{kernel_, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) != 1) return std::nullopt;
    uhid_event event{};
    if (::read(kernel_, &event, sizeof event) <= 0) return std::nullopt;
    return event;
  }

  std::string ReceiveInputText() {
    const std::optional<uhid_event> event = Receive();
    if (!event) return "<nothing>";
    if (event->type != UHID_INPUT2) return "<event " + std::to_string(event->type) + ">";
    if (event->u.input2.size != kReportDataSize)
      return "<size " + std::to_string(event->u.input2.size) + ">";
    const auto* text = reinterpret_cast<const char*>(event->u.input2.data);
    return std::string(text, strnlen(text, kReportDataSize));
  }

 private:
  int device_ = -1;
  int kernel_ = -1;
};

// Runs the bridge's loop on its own thread, as the program does.
class RunningBridge {
 public:
  RunningBridge(FakeKernel& kernel, QuorvexController& controller)
      : bridge_(kernel.DeviceFd(), controller) {
    EXPECT_EQ(::pipe(stop_), 0);
    EXPECT_TRUE(bridge_.Create());
  }
  ~RunningBridge() {
    Stop();
    ::close(stop_[0]);
    ::close(stop_[1]);
  }
  RunningBridge(const RunningBridge&) = delete;
  RunningBridge& operator=(const RunningBridge&) = delete;

  void Start() {
    thread_ = std::thread([this] { result_ = bridge_.Run(stop_[0]); });
  }
  BridgeStop Stop() {
    if (thread_.joinable()) {
      const char byte = 1;
      EXPECT_EQ(::write(stop_[1], &byte, 1), 1);
      thread_.join();
    }
    return result_;
  }
  BridgeStop Join() {
    if (thread_.joinable()) thread_.join();
    return result_;
  }
  UhidBridge& Bridge() { return bridge_; }

 private:
  UhidBridge bridge_;
  int stop_[2] = {-1, -1};
  std::thread thread_;
  BridgeStop result_ = BridgeStop::kDeviceFailed;
};

TEST(VirtualDevice, DescriptorGivesTheLinkItsReportLengths) {
  const auto layout = link::ParseReportDescriptor(VirtualReportDescriptor());
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(layout->lengths.input, 1 + kReportDataSize);
  EXPECT_EQ(layout->lengths.output, 1 + kReportDataSize);
  EXPECT_FALSE(layout->numbered);
}

TEST(VirtualDevice, CreateRequestPresentsAQuorvexOnUsb) {
  const uhid_event event = MakeCreateEvent();
  const uhid_create2_req& create = event.u.create2;
  EXPECT_EQ(event.type, UHID_CREATE2);
  EXPECT_EQ(create.bus, BUS_USB);
  EXPECT_TRUE(link::IsQuorvex(static_cast<std::uint16_t>(create.vendor),
                              static_cast<std::uint16_t>(create.product)));
  EXPECT_EQ(reinterpret_cast<const char*>(create.name), kVirtualDeviceName);
  const auto descriptor = VirtualReportDescriptor();
  ASSERT_EQ(create.rd_size, descriptor.size());
  EXPECT_EQ(std::memcmp(create.rd_data, descriptor.data(), descriptor.size()), 0);
}

TEST(UhidBridge, AnswersOutputReportsAndUnplugsOnStop) {
  FakeKernel kernel;
  QuorvexController controller;
  RunningBridge running(kernel, controller);
  const auto created = kernel.Receive();
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(created->type, UHID_CREATE2);

  running.Start();
  kernel.Send(UHID_START);
  kernel.Send(UHID_OPEN);
  kernel.SendOutput("service.on");
  EXPECT_EQ(kernel.ReceiveInputText(), "SERVICE ON");
  kernel.SendOutput("xscr 5 6 5057585906");
  EXPECT_EQ(kernel.ReceiveInputText(), "52454144594B");  // "READY"
  kernel.SendOutput("xscr 8 3 5057303030303037");
  EXPECT_EQ(kernel.ReceiveInputText(), "4F4B04");  // "OK"
  // A Sector data frame gets no answer: the next report answers the next frame.
  kernel.SendOutput("xscr 19 0 50580253E9AF84758401E4F5C875CA0675CBB5");
  kernel.SendOutput("xscr 8 3 5057303030303037");
  EXPECT_EQ(kernel.ReceiveInputText(), "4F4B04");

  EXPECT_EQ(running.Stop(), BridgeStop::kStopRequested);
  const auto destroyed = kernel.Receive();
  ASSERT_TRUE(destroyed.has_value());
  EXPECT_EQ(destroyed->type, UHID_DESTROY);
  EXPECT_FALSE(running.Bridge().Created());
  EXPECT_EQ(running.Bridge().Counters().outputReports, 5u);
  EXPECT_EQ(running.Bridge().Counters().inputReports, 4u);
  EXPECT_TRUE(controller.InServiceMode());
}

TEST(UhidBridge, TracksStartAndOpenAndIgnoresOtherReportTypes) {
  FakeKernel kernel;
  QuorvexController controller;
  UhidBridge bridge(kernel.DeviceFd(), controller);

  uhid_event event{};
  event.type = UHID_START;
  EXPECT_TRUE(bridge.Handle(event));
  event.type = UHID_OPEN;
  EXPECT_TRUE(bridge.Handle(event));
  EXPECT_TRUE(bridge.Started());
  EXPECT_TRUE(bridge.Opened());

  // A feature report sent the output way is not a line for the controller.
  event = {};
  event.type = UHID_OUTPUT;
  event.u.output.rtype = UHID_FEATURE_REPORT;
  std::memcpy(event.u.output.data, "\0service.on\r", 12);
  event.u.output.size = 65;
  EXPECT_TRUE(bridge.Handle(event));
  EXPECT_EQ(controller.Counters().frames, 0u);
  EXPECT_FALSE(kernel.Receive(50).has_value());

  event = {};
  event.type = UHID_CLOSE;
  EXPECT_TRUE(bridge.Handle(event));
  event.type = UHID_STOP;
  EXPECT_TRUE(bridge.Handle(event));
  EXPECT_FALSE(bridge.Opened());
  EXPECT_FALSE(bridge.Started());
}

TEST(UhidBridge, RefusesReportRequestsAtOnce) {
  FakeKernel kernel;
  QuorvexController controller;
  UhidBridge bridge(kernel.DeviceFd(), controller);

  uhid_event request{};
  request.type = UHID_GET_REPORT;
  request.u.get_report.id = 41;
  request.u.get_report.rtype = UHID_FEATURE_REPORT;
  EXPECT_TRUE(bridge.Handle(request));
  auto reply = kernel.Receive();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->type, UHID_GET_REPORT_REPLY);
  EXPECT_EQ(reply->u.get_report_reply.id, 41u);
  EXPECT_NE(reply->u.get_report_reply.err, 0);

  request = {};
  request.type = UHID_SET_REPORT;
  request.u.set_report.id = 42;
  EXPECT_TRUE(bridge.Handle(request));
  reply = kernel.Receive();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->type, UHID_SET_REPORT_REPLY);
  EXPECT_EQ(reply->u.set_report_reply.id, 42u);
  EXPECT_NE(reply->u.set_report_reply.err, 0);
}

TEST(UhidBridge, UnplugFaultDestroysTheDeviceBeforeAnswering) {
  FakeKernel kernel;
  QuorvexController controller;
  Fault unplug = Fault::Unplug(1);
  unplug.target.command = Command::kStartDownload;
  controller.AddFault(unplug);
  RunningBridge running(kernel, controller);
  ASSERT_TRUE(kernel.Receive().has_value());  // the create request

  running.Start();
  kernel.SendOutput("service.on");
  EXPECT_EQ(kernel.ReceiveInputText(), "SERVICE ON");
  kernel.SendOutput("xscr 5 6 5057585906");
  EXPECT_EQ(running.Join(), BridgeStop::kUnplugged);
  const auto next = kernel.Receive();
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->type, UHID_DESTROY);  // and no READY before it
}

TEST(UhidBridge, EndsWhenTheKernelEndGoesAway) {
  FakeKernel kernel;
  QuorvexController controller;
  RunningBridge running(kernel, controller);
  running.Start();
  kernel.CloseKernelEnd();
  EXPECT_EQ(running.Join(), BridgeStop::kDeviceFailed);
}

}  // namespace
}  // namespace lumbra::emulator
