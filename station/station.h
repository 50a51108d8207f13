// The station file: the station's name, its slots (a label per USB port),
// its daily target and its pace.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lumbra::station {

// The slowest pace a station may ask for, as --pace allows.
inline constexpr int kMaxPaceMs = 60'000;

struct Slot {
  std::string label;  // what the technician reads on the fixture: "A"
  std::string port;   // the controller's port there
};

struct Station {
  std::string name;          // the host's name when the file names none
  std::vector<Slot> slots;   // empty without a station file
  std::optional<int> target; // verified controllers a day
  std::optional<int> paceMs;

  // The slot at `port`; nullptr when none is.
  const Slot* SlotAt(const std::string& port) const;
};

struct LoadedStation {
  enum class Problem { kNone, kUnreadable, kMalformed };
  Station station;
  Problem problem = Problem::kNone;
  std::string error;  // names the file, the key and what is wrong
};

LoadedStation LoadStation(const std::string& path);

std::string HostName();

// A random UUID, version 4: "3f2b8c1e-9a4d-4e6f-8b2a-0c1d2e3f4a5b".
std::string NewRecordId();

}  // namespace lumbra::station
