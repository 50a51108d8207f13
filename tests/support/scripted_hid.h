// Scripted HID devices for the link's tests: each device answers from a queue
// of read outcomes, fails writes on demand and records what was written.
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/hid_platform.h"

namespace lumbra::testing {

struct ScriptedRead {
  link::ReadOutcome outcome = link::ReadOutcome::kTimeout;
  std::vector<std::uint8_t> data;  // data bytes, placed from report[1]
};

struct ScriptedDevice {
  std::string path;
  bool opens = true;
  std::optional<link::HidAttributes> attributes;
  std::optional<link::ReportLengths> caps = link::ReportLengths{65, 65};
  int writesToFail = 0;  // the next this many writes fail
  std::deque<ScriptedRead> reads;      // what reads that wait will bring
  std::deque<ScriptedRead> waiting;    // reports already waiting before a read

  int openCount = 0;
  int openHandles = 0;
  std::vector<std::vector<std::uint8_t>> written;
};

inline ScriptedRead ReplyOf(const std::string& text) {
  ScriptedRead read{link::ReadOutcome::kReport, {text.begin(), text.end()}};
  read.data.push_back(0);
  return read;
}

class ScriptedPlatform : public link::HidPlatform {
 public:
  ScriptedDevice& Add(std::uint16_t vid, std::uint16_t pid) {
    auto device = std::make_unique<ScriptedDevice>();
    device->path = "scripted:" + std::to_string(devices.size());
    device->attributes = link::HidAttributes{vid, pid, {}};
    devices.push_back(std::move(device));
    return *devices.back();
  }
  void Unplug(const ScriptedDevice& device) { unplugged.push_back(device.path); }

  std::vector<std::string> Enumerate() override {
    ++enumerations;
    std::vector<std::string> paths;
    for (auto& d : devices) {
      if (std::find(unplugged.begin(), unplugged.end(), d->path) == unplugged.end())
        paths.push_back(d->path);
    }
    return paths;
  }

  std::unique_ptr<link::HidDevice> Open(const std::string& path) override;

  void Pause(int milliseconds) override { pausedMs += milliseconds; }

  int OpenHandles() const {
    int n = 0;
    for (auto& d : devices) n += d->openHandles;
    return n;
  }

  std::vector<std::unique_ptr<ScriptedDevice>> devices;
  std::vector<std::string> unplugged;
  int enumerations = 0;
  int pausedMs = 0;
};

class ScriptedHandle : public link::HidDevice {
 public:
  explicit ScriptedHandle(ScriptedDevice& d) : d_(d) { ++d_.openHandles; }
  ~ScriptedHandle() override { --d_.openHandles; }
  std::optional<link::HidAttributes> Attributes() override { return d_.attributes; }
  std::optional<link::ReportLengths> Capabilities() override { return d_.caps; }
  bool WriteReport(std::span<const std::uint8_t> report) override {
    if (d_.writesToFail > 0) {
      --d_.writesToFail;
      return false;
    }
    d_.written.emplace_back(report.begin(), report.end());
    return true;
  }
  link::ReadOutcome ReadReport(std::span<std::uint8_t> report, int timeoutMs) override {
    auto& queue = !d_.waiting.empty() || timeoutMs == 0 ? d_.waiting : d_.reads;
    if (queue.empty()) return link::ReadOutcome::kTimeout;
    ScriptedRead read = std::move(queue.front());
    queue.pop_front();
    std::copy_n(read.data.begin(), std::min(read.data.size(), report.size() - 1), report.begin() + 1);
    return read.outcome;
  }

 private:
  ScriptedDevice& d_;
};

inline std::unique_ptr<link::HidDevice> ScriptedPlatform::Open(const std::string& path) {
  for (auto& d : devices) {
    if (d->path == path && d->opens) {
      ++d->openCount;
      return std::make_unique<ScriptedHandle>(*d);
    }
  }
  return nullptr;
}

}  // namespace lumbra::testing
