// Scripted HID devices for the link's tests and fuzz target: queued read
// outcomes, writes that fail on demand, a record of what was written.
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
  bool plugged = true;  // listed by Enumerate; a handle already open keeps working
  bool opens = true;  // false: Open fails with access denied; Identify tells the attributes
  std::optional<link::HidAttributes> attributes;
  std::optional<link::ReportLengths> caps = link::ReportLengths{65, 65};
  int writesToFail = 0;              // the next this many writes fail
  std::deque<ScriptedRead> reads;    // what reads that wait will bring
  std::deque<ScriptedRead> waiting;  // reports already waiting; a read takes these first

  int openCount = 0;
  int openHandles = 0;
  std::vector<std::vector<std::uint8_t>> written;
};

// A report holding `text` and its terminating zero.
inline ScriptedRead ReplyOf(const std::string& text) {
  return {link::ReadOutcome::kReport, {text.c_str(), text.c_str() + text.size() + 1}};
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
    return read.outcome;
  }
  link::HidError LastError() const override { return {link::HidFault::kGone, 0}; }

 private:
  ScriptedDevice& d_;
};

// A device's path is its index in `devices`.
class ScriptedPlatform : public link::HidPlatform {
 public:
  ScriptedDevice& Add(std::uint16_t vid, std::uint16_t pid, std::string serial = {}) {
    devices.push_back(std::make_unique<ScriptedDevice>());
    devices.back()->attributes = link::HidAttributes{vid, pid, std::move(serial)};
    return *devices.back();
  }

  std::vector<std::string> Enumerate() override {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < devices.size(); ++i)
      if (devices[i]->plugged) paths.push_back(std::to_string(i));
    return paths;
  }
  Opened Open(const std::string& path) override {
    ScriptedDevice& d = *devices.at(std::stoul(path));
    if (!d.opens) return {nullptr, {link::HidFault::kAccessDenied, 13}};
    return {std::make_unique<ScriptedHandle>(d), {}};
  }
  std::optional<link::HidAttributes> Identify(const std::string& path) override {
    return devices.at(std::stoul(path))->attributes;
  }
  std::string Port(const std::string& path) override { return path; }
  void Pause(int) override {}

  std::vector<std::unique_ptr<ScriptedDevice>> devices;
};

}  // namespace lumbra::testing
