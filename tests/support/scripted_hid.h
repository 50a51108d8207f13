// Scripted HID devices for the link's tests and fuzz target: queued read
// outcomes, writes that fail on demand, a record of what was written and read.
#pragma once

#include <algorithm>
#include <deque>
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
  int writesToFail = 0;              // the next this many writes fail
  std::deque<ScriptedRead> reads;    // what reads that wait will bring
  std::deque<ScriptedRead> waiting;  // reports already waiting; a read takes these first

  int openCount = 0;
  int openHandles = 0;
  std::vector<std::vector<std::uint8_t>> written;
  // The whole report buffer after each read that brought a report, from report[1].
  std::vector<std::vector<std::uint8_t>> delivered;
};

// A report holding `text` and its terminating zero.
inline ScriptedRead ReplyOf(const std::string& text) {
  ScriptedRead read{link::ReadOutcome::kReport, {text.begin(), text.end()}};
  read.data.push_back(0);
  return read;
}

class ScriptedHandle : public link::HidDevice {
 public:
  explicit ScriptedHandle(ScriptedDevice& d) : d_(d) {
    ++d_.openCount;
    ++d_.openHandles;
  }
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
    const ScriptedRead read = std::move(queue.front());
    queue.pop_front();
    std::copy_n(read.data.begin(), std::min(read.data.size(), report.size() - 1), report.begin() + 1);
    if (read.outcome == link::ReadOutcome::kReport)
      d_.delivered.emplace_back(report.begin() + 1, report.end());
    return read.outcome;
  }

 private:
  ScriptedDevice& d_;
};

class ScriptedPlatform : public link::HidPlatform {
 public:
  ScriptedDevice& Add(std::uint16_t vid, std::uint16_t pid, std::string serial = {}) {
    auto device = std::make_unique<ScriptedDevice>();
    device->path = "scripted:" + std::to_string(devices.size());
    device->attributes = link::HidAttributes{vid, pid, std::move(serial)};
    devices.push_back(std::move(device));
    return *devices.back();
  }
  // An unplugged device is no longer listed; a handle already open keeps working.
  void Unplug(const ScriptedDevice& device) { unplugged.push_back(device.path); }

  std::vector<std::string> Enumerate() override {
    std::vector<std::string> paths;
    for (auto& d : devices) {
      if (!std::count(unplugged.begin(), unplugged.end(), d->path)) paths.push_back(d->path);
    }
    return paths;
  }
  std::unique_ptr<link::HidDevice> Open(const std::string& path) override {
    for (auto& d : devices) {
      if (d->path == path && d->opens) return std::make_unique<ScriptedHandle>(*d);
    }
    return nullptr;
  }
  void Pause(int) override {}

  int OpenHandles() const {
    int n = 0;
    for (auto& d : devices) n += d->openHandles;
    return n;
  }

  std::vector<std::unique_ptr<ScriptedDevice>> devices;
  std::vector<std::string> unplugged;
};

}  // namespace lumbra::testing
