// The uhid bridge against a SOCK_SEQPACKET socket, which keeps event boundaries as
// /dev/uhid does. Identity, descriptor and a whole download are the system test's.
#include "emulator/virtual/uhid_bridge.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "emulator/fault.h"

namespace lumbra::emulator {
namespace {

std::array<int, 2> SocketPair() {
  std::array<int, 2> fds{-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds.data()), 0);
  return fds;
}

class UhidBridgeTest : public ::testing::Test {
 protected:
  UhidBridgeTest() { ::signal(SIGPIPE, SIG_IGN); }  // writes to a closed peer fail, as on uhid
  ~UhidBridgeTest() override { for (int fd : {fds_[0], fds_[1], stop_[0], stop_[1]}) ::close(fd); }

  void Send(const uhid_event& event) {
    ASSERT_EQ(::write(fds_[1], &event, sizeof event), static_cast<ssize_t>(sizeof event));
  }
  // An output report as hidraw hands it over: the report ID byte, then the line.
  void SendOutput(std::string_view line, std::uint8_t rtype = UHID_OUTPUT_REPORT) {
    uhid_event event{.type = UHID_OUTPUT, .u = {.output = {{}, 65, rtype}}};
    std::memcpy(event.u.output.data + 1, line.data(), line.size());
    event.u.output.data[1 + line.size()] = '\r';
    Send(event);
  }
  // The types of the events the bridge wrote.
  std::vector<std::uint32_t> Written() {
    std::vector<std::uint32_t> types;
    for (uhid_event e{}; ::recv(fds_[1], &e, sizeof e, MSG_DONTWAIT) > 0; e = {}) {
      events_.push_back(e);
      types.push_back(e.type);
    }
    return types;
  }

  std::array<int, 2> fds_ = SocketPair();   // the bridge's end, the kernel's end
  std::array<int, 2> stop_ = SocketPair();  // Run's stop descriptor, and its writer
  QuorvexController controller_;
  UhidBridge bridge_{fds_[0], controller_};
  std::vector<uhid_event> events_;
};

// Only output reports reach the controller. Report requests (hidraw's
// feature-report ioctls) are refused at once, or the caller would wait for
// the kernel's time-out. The unplug fault unplugs before the answer.
TEST_F(UhidBridgeTest, ServesTheDeviceUntilTheUnplugFault) {
  Fault unplug = Fault::Unplug(2);
  unplug.target.command = Command::kServiceOn;
  controller_.AddFault(unplug);
  ASSERT_TRUE(bridge_.Create());
  SendOutput("service.on", UHID_FEATURE_REPORT);  // not a line for the controller
  SendOutput("service.on");
  Send({.type = UHID_GET_REPORT, .u = {.get_report = {41, 0, 0}}});
  Send({.type = UHID_SET_REPORT, .u = {.set_report = {42, 0, 0, 0, {}}}});
  SendOutput("service.on");
  EXPECT_EQ(bridge_.Run(stop_[0]), BridgeStop::kUnplugged);
  ASSERT_THAT(Written(), ::testing::ElementsAre(UHID_CREATE2, UHID_INPUT2, UHID_GET_REPORT_REPLY,
                                                UHID_SET_REPORT_REPLY, UHID_DESTROY));
  EXPECT_EQ(events_[2].u.get_report_reply.id, 41u);
  EXPECT_NE(events_[2].u.get_report_reply.err, 0);
  EXPECT_EQ(events_[3].u.set_report_reply.id, 42u);
  EXPECT_NE(events_[3].u.set_report_reply.err, 0);
}

// A stop request (SIGTERM) is the system test's; uhid going away ends the bridge.
TEST_F(UhidBridgeTest, EndsWhenUhidGoesAway) {
  ASSERT_TRUE(bridge_.Create());
  ::shutdown(fds_[1], SHUT_RDWR);
  EXPECT_EQ(bridge_.Run(stop_[0]), BridgeStop::kDeviceFailed);
}

}  // namespace
}  // namespace lumbra::emulator
