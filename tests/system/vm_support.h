// What the scenarios inside the test VM share: files, waiting, the virtual
// controllers' hidraw nodes and child processes.
#pragma once

#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace lumbra::vm {

// The programs under test, from the driver's command line.
inline const char* gController = nullptr;
inline const char* gCli = nullptr;
inline const char* gRules = nullptr;

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename Condition>
bool WaitFor(Condition condition,
             std::chrono::steady_clock::duration timeout = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition() && std::chrono::steady_clock::now() < end) ::usleep(5000);
  return condition();
}

// The virtual controllers' hidraw nodes ("/dev/hidrawN").
inline std::vector<std::string> VirtualNodes() {
  std::vector<std::string> nodes;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/hidraw", error)) {
    const std::string uevent = ReadFile(entry.path() / "device/uevent");
    if (uevent.find("HID_NAME=Quorvex virtual controller") != std::string::npos)
      nodes.push_back("/dev/" + entry.path().filename().string());
  }
  return nodes;
}

// The hidraw node of the device on the n-th dummy_hcd's bus; empty when none.
inline std::string UsbNode(int n) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/hidraw", error)) {
    const std::string device = std::filesystem::canonical(entry.path() / "device", error).string();
    if (device.find("/dummy_hcd." + std::to_string(n) + "/") != std::string::npos)
      return "/dev/" + entry.path().filename().string();
  }
  return {};
}

// Plugs the gadget on the n-th dummy_hcd in or out, as configfs does it for anyone.
inline bool BindGadget(int n, bool bound) {
  const std::string udc = "dummy_udc." + std::to_string(n);
  std::ofstream out("/sys/kernel/config/usb_gadget/lumbra-" + udc + "/UDC");
  out << (bound ? udc : "") << '\n';
  out.flush();
  return static_cast<bool>(out);
}

// Starts `args`, its standard output to `output` if given. A controller runs at a
// real-time priority above the driver's: uhid drops output reports past 32 and the
// tool's ticks do not pause, so it answers the moment a report arrives.
inline pid_t Spawn(std::vector<std::string> args, const char* output = nullptr,
                   bool realtime = false) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const sched_param param{10};
  if (realtime) ::sched_setscheduler(0, SCHED_FIFO, &param);
  if (output != nullptr && std::freopen(output, "w", stdout) == nullptr) ::_exit(126);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

}  // namespace lumbra::vm
