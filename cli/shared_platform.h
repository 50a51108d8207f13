// One HID platform for every controller thread, and each thread's view of it
// pinned to its own controller.
//
// The platform serialises what its own binding needs. The mutex here is for
// the station's state only: which paths are claimed and pinned, and that a
// list checked against the claims still holds while it is acted on (the
// station's arrivals, a repin, each a single step). A thread's opens of its
// own path, and its reads and writes, take no lock here and run in parallel
// with the others'.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "link/hid_platform.h"

namespace lumbra::cli {

// A controller as the listing found it.
struct Controller {
  std::string path;
  std::string port;  // HidPlatform::Port's: the path when the system tells none
  link::HidAttributes attributes;
  std::optional<link::ReportLengths> lengths;  // empty when unknown
  bool opens = true;     // false: present, but it may not be opened (access denied)
  bool writable = true;  // this build may write to it (a stand-in build: the virtual one only)
};

std::string VendorProduct(const link::HidAttributes& attributes);  // "4242:c003"

class SharedPlatform {
 public:
  explicit SharedPlatform(link::HidPlatform& platform) : platform_(platform) {}

  // Every controller present, in enumeration order.
  std::vector<Controller> ListControllers();

  // Claims a path for one controller thread: false when it is claimed
  // already. A claim outlives the thread's pin; only Arrivals ends it.
  bool Claim(const std::string& path);

  // The station's look: ends the claims of paths that are gone and that no
  // thread holds pinned (a controller plugged in there again is a new one),
  // then lists the controllers at unclaimed paths. Claimed devices are not
  // opened again. `gone`, when given, gets the paths whose claims ended.
  std::vector<Controller> Arrivals(std::vector<std::string>* gone = nullptr);

 private:
  friend class PinnedPlatform;

  // The controllers among `paths`.
  std::vector<Controller> List(const std::vector<std::string>& paths);

  link::HidPlatform& platform_;
  std::mutex mutex_;
  std::set<std::string> claimed_;
  std::multiset<std::string> pinned_;
};

// What a controller thread's link sees: its controller only. It follows the
// controller to a new path when a replug moved it there, among the paths
// nobody else has claimed and only when a single one matches: recognised by
// its port, or where the system tells no port, by its serial number. Each is
// one controller thread's own and takes calls from that thread only; what it
// shares with the others goes through the SharedPlatform.
class PinnedPlatform final : public link::HidPlatform {
 public:
  using Log = std::function<void(std::string_view)>;

  // `path` must be claimed (or empty: nothing yet, only the port or the
  // serial number).
  PinnedPlatform(SharedPlatform& shared, std::string path, std::string port, std::string serial,
                 Log verbose);
  ~PinnedPlatform() override;
  PinnedPlatform(const PinnedPlatform&) = delete;
  PinnedPlatform& operator=(const PinnedPlatform&) = delete;

  std::vector<std::string> Enumerate() override;
  Opened Open(const std::string& path) override;
  std::optional<link::HidAttributes> Identify(const std::string& path) override;
  std::string Port(const std::string& path) override { return shared_.platform_.Port(path); }
  void Pause(int milliseconds) override { shared_.platform_.Pause(milliseconds); }

 private:
  void Repin(const std::string& path, const char* by);

  SharedPlatform& shared_;
  std::string path_;
  std::string port_;
  std::string serial_;
  Log verbose_;
  int opens_ = 0;
};

}  // namespace lumbra::cli
