#include "cli/record.h"

#include <cmath>

#include "cli/console.h"
#include "station/records.h"
#include "transfer/firmware_image.h"

namespace lumbra::cli {

using json = nlohmann::ordered_json;

std::string UtcTimestamp(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{floor<milliseconds>(time - day)};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()),
                static_cast<int>(clock.subseconds().count()));
  return text;
}

json ControllerJson(const Controller& controller) {
  json j = {{"device", controller.path},
            {"port", controller.port},
            {"vendor_product", VendorProduct(controller.attributes)},
            {"serial", controller.attributes.serialNumber},
            {"opens", controller.opens},
            {"writable", controller.writable}};
  if (controller.lengths) {
    j["input_report"] = controller.lengths->input;
    j["output_report"] = controller.lengths->output;
  }
  return j;
}

json ResultJson(const Result& result) {
  const transfer::RunReport& report = result.report;
  json differences = json::array();
  for (const transfer::Difference& d : report.differences) {
    differences.push_back({{"address", d.address}, {"read", d.read}, {"expected", d.expected}});
  }
  json skipWindow = nullptr;
  if (report.skipWindow.open) {
    skipWindow = {{"start", report.skipWindow.start}, {"end", report.skipWindow.end}};
  }
  json j = {{"device", result.device},
            {"port", result.controller.port.empty() ? json(nullptr) : json(result.controller.port)},
            {"serial", result.controller.attributes.serialNumber},
            {"vendor_product", VendorProduct(result.controller.attributes)},
            {"verdict", ToString(result.verdict)},
            {"outcome", result.report.outcome ? json(transfer::ToString(*result.report.outcome)) : json(nullptr)},
            {"phase", ToString(result.phase)},
            {"seconds", std::round(result.seconds * 1000) / 1000},
            {"resends", report.resends},
            {"skip_window", skipWindow},
            {"differences", differences}};
  if (const std::string advice = Advice(result); !advice.empty()) j["advice"] = advice;
  return j;
}

json RecordJson(const Result& result, int paceMs, const station::Station& station) {
  json record = {{"schema", station::kRecordSchema}, {"record_id", station::NewRecordId()}};
  record.update(ResultJson(result));
  record["start"] = UtcTimestamp(result.start);
  record["end"] = UtcTimestamp(result.end);
  record["lumbra_version"] = LUMBRA_VERSION;
  record["image_version"] = transfer::kImageVersion;
  record["image_sha256"] = LUMBRA_IMAGE_SHA256;
  record["image_standin"] = transfer::FirmwareImage::IsStandIn();
  record["pace_ms"] = paceMs;
  record["emulated"] = result.emulated;
  const station::Slot* slot = station.SlotAt(result.controller.port);
  record["station"] = station.name;
  record["slot"] = slot != nullptr ? json(slot->label) : json(nullptr);
  return record;
}

}  // namespace lumbra::cli
