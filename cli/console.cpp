#include "cli/console.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "cli/record.h"
#include "transfer/firmware_image.h"

namespace lumbra::cli {

namespace {

// Plain lines and JSON tell a controller's progress at most this often, and
// when its phase changes; a terminal is redrawn at most every kRedraw.
constexpr auto kProgressEvery = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(100);

// "\x1b[nF": to the start of the line n lines up; "\x1b[2K": clear it.
constexpr const char* kClearLine = "\x1b[2K";

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

std::string Format(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

double Rounded(double value, double scale) { return std::round(value * scale) / scale; }

// A message box's lines as one line.
std::string OneLine(std::string_view text) {
  std::string line(text);
  std::replace(line.begin(), line.end(), '\n', ' ');
  return line;
}

std::string ProgressText(const Progress& p) {
  std::string text(ToString(p.phase));
  if (p.phase != Phase::kHandshake) {
    text += Format(" %5.1f%%", p.percent);
    text += p.phase == Phase::kDownload
                ? "  sector " + std::to_string(p.address / transfer::kSectorSize + 1) + "/" +
                      std::to_string(transfer::kSectorCount)
                : "  block " + Hex(p.address);
  }
  text += "  resends " + std::to_string(p.resends);
  text += Format("  %.1f s", p.elapsed);
  if (p.eta) text += Format("  ETA %.0f s", *p.eta);
  return text;
}

std::string ResultText(const Result& r) {
  const std::string& device = r.device;
  std::string text = device + ": " + std::string(ToString(r.verdict));
  if (r.report.outcome && ToString(*r.report.outcome) != ToString(r.verdict)) {
    text += " (" + std::string(transfer::ToString(*r.report.outcome)) + ")";
  }
  text += Format(" in %.1f s", r.seconds);
  text += ", " + std::to_string(r.report.TotalResends()) + " resends";
  const transfer::SkipWindow& w = r.report.skipWindow;
  if (w.open) text += ", skip window " + Hex(w.start) + "-" + Hex(w.end);
  text += ", " + std::to_string(r.report.differences.size()) + " differences";
  for (const transfer::Difference& d : r.report.differences) {
    text += "\n" + device + ":   " + Hex(d.address) + " read " + Hex(d.read) +
            " expected " + Hex(d.expected);
  }
  return text;
}

}  // namespace

Console::Row& Console::RowOf(const std::string& device) {
  // In the order of their devices, whichever spoke first.
  auto at = std::lower_bound(rows_.begin(), rows_.end(), device,
                             [](const Row& row, const std::string& d) { return row.device < d; });
  if (at == rows_.end() || at->device != device) {
    at = rows_.insert(at, Row{device, "handshake", "", Phase::kHandshake, {}, false});
  }
  return *at;
}

void Console::Json(const nlohmann::ordered_json& event) { out_ << event.dump() << '\n' << std::flush; }

void Console::PrintLine(const std::string& line) {
  if (style_ != Style::kTerminal) {
    out_ << line << '\n' << std::flush;
    return;
  }
  if (drawn_ > 0) out_ << "\x1b[" << drawn_ << 'F';
  std::size_t start = 0;
  while (start <= line.size()) {
    const std::size_t end = std::min(line.find('\n', start), line.size());
    out_ << kClearLine << line.substr(start, end - start) << '\n';
    start = end + 1;
  }
  drawn_ = 0;
  Redraw();
}

void Console::Redraw() {
  if (drawn_ > 0) out_ << "\x1b[" << drawn_ << 'F';
  drawn_ = 0;
  for (const Row& row : rows_) {
    if (row.done) continue;
    out_ << kClearLine << row.device << "  " << row.progress;
    if (!row.status.empty()) out_ << "  " << row.status;
    out_ << '\n';
    ++drawn_;
  }
  out_ << "\x1b[J" << std::flush;  // below the rows: what was there before
  drawnAt_ = Clock::now();
}

void Console::Status(const std::string& device, std::string_view text) {
  const std::lock_guard lock(mutex_);
  switch (style_) {
    case Style::kJson: Json({{"event", "status"}, {"device", device}, {"text", text}}); break;
    case Style::kPlain: out_ << device << ": " << text << '\n' << std::flush; break;
    case Style::kTerminal: RowOf(device).status.assign(text); break;
  }
}

void Console::Progressed(const std::string& device, const Progress& progress) {
  const std::lock_guard lock(mutex_);
  Row& row = RowOf(device);
  const Clock::time_point now = Clock::now();
  if (style_ == Style::kTerminal) {
    row.progress = ProgressText(progress);
    if (now - drawnAt_ >= kRedraw) Redraw();
    return;
  }
  if (progress.phase == row.phase && now - row.shown < kProgressEvery) return;
  row.phase = progress.phase;
  row.shown = now;
  if (style_ == Style::kPlain) {
    out_ << device << ": " << ProgressText(progress) << '\n' << std::flush;
    return;
  }
  nlohmann::ordered_json event = {{"event", "progress"},
                          {"device", device},
                          {"phase", ToString(progress.phase)},
                          {"percent", Rounded(progress.percent, 100)},
                          {"resends", progress.resends},
                          {"elapsed", Rounded(progress.elapsed, 1000)},
                          {"eta", progress.eta ? nlohmann::ordered_json(Rounded(*progress.eta, 10))
                                               : nullptr}};
  if (progress.phase == Phase::kDownload) event["sector"] = progress.address / transfer::kSectorSize;
  if (progress.phase == Phase::kVerify) event["block"] = progress.address;
  Json(event);
}

void Console::Box(const std::string& device, std::string_view text) {
  const std::lock_guard lock(mutex_);
  if (style_ == Style::kJson) {
    Json({{"event", "box"}, {"device", device}, {"text", text}});
  } else {
    PrintLine(device + ": box: " + OneLine(text));
  }
}

void Console::Verbose(const std::string& device, std::string_view text) {
  const std::lock_guard lock(mutex_);
  err_ << device << ": " << text << '\n' << std::flush;
}

void Console::Note(std::string_view text) {
  const std::lock_guard lock(mutex_);
  err_ << "lumbra-cli: " << text << '\n' << std::flush;
}

void Console::Finished(const Result& result) {
  const std::lock_guard lock(mutex_);
  if (style_ == Style::kJson) {
    nlohmann::ordered_json event = {{"event", "result"}};
    event.update(ResultJson(result));
    Json(event);
    return;
  }
  RowOf(result.device).done = true;
  PrintLine(ResultText(result));
}

void Console::Summary(const std::vector<Result>& results) {
  if (style_ == Style::kJson || results.size() < 2) return;
  std::map<Verdict, int> counts;
  for (const Result& r : results) ++counts[r.verdict];
  std::string line = std::to_string(results.size()) + " controllers:";
  const char* separator = " ";
  for (const auto& [verdict, count] : counts) {
    line += separator + std::to_string(count) + " " + std::string(ToString(verdict));
    separator = ", ";
  }
  const std::lock_guard lock(mutex_);
  PrintLine(line);
}

void Console::Listing(const std::vector<Controller>& controllers) {
  const std::lock_guard lock(mutex_);
  for (const Controller& c : controllers) {
    if (style_ == Style::kJson) {
      nlohmann::ordered_json event = {{"event", "controller"}};
      event.update(ControllerJson(c));
      Json(event);
      continue;
    }
    std::string line = c.path + "  " + VendorProduct(c.attributes) + "  serial \"" +
                       c.attributes.serialNumber + "\"";
    if (c.lengths) {
      line += "  reports in " + std::to_string(c.lengths->input) + " out " +
              std::to_string(c.lengths->output);
    }
    line += !c.opens      ? "  access denied"
            : c.writable  ? "  writable"
                          : "  not writable by this build (stand-in image)";
    out_ << line << '\n';
  }
  out_ << std::flush;
}

}  // namespace lumbra::cli
