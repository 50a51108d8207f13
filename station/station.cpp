#include "station/station.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace lumbra::station {

namespace {

using json = nlohmann::json;

// What is wrong with one key, for the error that names it.
struct KeyError {
  std::string key, what;
};

std::string Text(const json& value, const std::string& key) {
  if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
    throw KeyError{key, "must be a non-empty string"};
  }
  return value.get<std::string>();
}

int Number(const json& value, const std::string& key, int low, int high) {
  if (!value.is_number_integer() || value.get<long long>() < low || value.get<long long>() > high) {
    throw KeyError{key, "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high)};
  }
  return value.get<int>();
}

// Unknown keys are refused: a misspelt "target" would otherwise be no target.
void OnlyKeys(const json& object, const std::string& where, std::set<std::string> known) {
  for (const auto& [key, value] : object.items()) {
    if (!known.contains(key)) throw KeyError{where + key, "is not a key of a station file"};
  }
}

Station Parse(const json& file) {
  if (!file.is_object()) throw KeyError{"(top level)", "must be an object"};
  OnlyKeys(file, "", {"name", "slots", "target", "pace_ms"});
  Station station;
  if (file.contains("name")) station.name = Text(file["name"], "name");
  if (!file.contains("slots")) throw KeyError{"slots", "is missing"};
  const json& slots = file["slots"];
  if (!slots.is_array() || slots.empty()) throw KeyError{"slots", "must be a list of at least one slot"};
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const std::string key = "slots[" + std::to_string(i) + "]";
    if (!slots[i].is_object()) throw KeyError{key, "must be an object"};
    OnlyKeys(slots[i], key + ".", {"label", "port"});
    for (const char* needed : {"label", "port"}) {
      if (!slots[i].contains(needed)) throw KeyError{key + "." + needed, "is missing"};
    }
    Slot slot{Text(slots[i]["label"], key + ".label"), Text(slots[i]["port"], key + ".port")};
    if (station.SlotAt(slot.port) != nullptr) {
      throw KeyError{key + ".port", "\"" + slot.port + "\" is another slot's port already"};
    }
    station.slots.push_back(slot);
  }
  if (file.contains("target")) station.target = Number(file["target"], "target", 1, 1'000'000);
  if (file.contains("pace_ms")) station.paceMs = Number(file["pace_ms"], "pace_ms", 0, kMaxPaceMs);
  return station;
}

}  // namespace

const Slot* Station::SlotAt(const std::string& port) const {
  for (const Slot& slot : slots) {
    if (slot.port == port) return &slot;
  }
  return nullptr;
}

LoadedStation LoadStation(const std::string& path) {
  LoadedStation loaded;
  const std::string file = "the station file \"" + path + "\"";
  std::string text;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  bool failed = in == nullptr;
  char block[4096];
  for (std::size_t n; !failed && (n = std::fread(block, 1, sizeof block, in)) > 0;) text.append(block, n);
  failed = failed || std::ferror(in);  // a directory opens, but cannot be read
  const int cause = errno;
  if (in != nullptr) std::fclose(in);
  if (failed) {
    loaded.problem = LoadedStation::Problem::kUnreadable;
    loaded.error = "cannot read " + file + ": " + std::strerror(cause);
    return loaded;
  }
  try {
    loaded.station = Parse(json::parse(text));
  } catch (const json::parse_error& e) {
    loaded.problem = LoadedStation::Problem::kMalformed;
    loaded.error = file + " is not JSON: " + e.what();
  } catch (const KeyError& e) {
    loaded.problem = LoadedStation::Problem::kMalformed;
    loaded.error = file + ": \"" + e.key + "\" " + e.what;
  }
  return loaded;
}

std::string HostName() {
#ifdef _WIN32
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof name;
  if (GetComputerNameA(name, &size)) return std::string(name, size);
#else
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0) return name;
#endif
  return "unknown";
}

std::string NewRecordId() {
  static std::mutex mutex;
  static std::mt19937_64 generator{[] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }()};
  std::uint64_t high, low;
  {
    const std::lock_guard lock(mutex);
    high = generator();
    low = generator();
  }
  high = (high & ~0xF000ull) | 0x4000ull;                       // version 4
  low = (low & ~(0xC000ull << 48)) | (0x8000ull << 48);          // the RFC 4122 variant
  char text[40];
  std::snprintf(text, sizeof text, "%08llx-%04llx-%04llx-%04llx-%012llx",
                static_cast<unsigned long long>(high >> 32), static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                static_cast<unsigned long long>(high & 0xFFFF), static_cast<unsigned long long>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
  return text;
}

}  // namespace lumbra::station
