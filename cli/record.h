// The JSON forms of lumbra-cli's output (docs/cli.md) and of the records
// that --report appends to the station's record file.
#pragma once

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/runner.h"
#include "station/station.h"

namespace lumbra::cli {

// "2026-12-07T22:30:01.123Z"
std::string UtcTimestamp(std::chrono::system_clock::time_point time);

nlohmann::ordered_json ControllerJson(const Controller& controller);
// The result event: the controller, verdict, seconds, resends per sector,
// skip window and differences.
nlohmann::ordered_json ResultJson(const Result& result);
// The result with what a record adds: its id, times, versions, the image,
// the pace, the station and the slot.
nlohmann::ordered_json RecordJson(const Result& result, int paceMs, const station::Station& station);

}  // namespace lumbra::cli
