#include "cli/console.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "cli/record.h"
#include "transfer/firmware_image.h"

namespace lumbra::cli {

namespace {

// Plain lines and JSON tell a controller's progress at most this often; a
// terminal is redrawn at most every kRedraw.
constexpr auto kProgressEvery = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(100);

// "\x1b[nF": to the start of the line n lines up; "\x1b[2K": clear it;
// "\x1b[J": clear from the cursor to the end of the screen.
constexpr const char* kClearLine = "\x1b[2K";
constexpr const char* kClearBelow = "\x1b[J";

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

// The length of the UTF-8 sequence `text` starts with, 0 when it starts
// with no valid one (overlong forms and surrogates are not valid).
std::size_t Utf8Length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// At most `columns` characters of a printable line.
std::string Fit(const std::string& line, int columns) {
  if (columns <= 0) return line;
  std::size_t at = 0;
  for (int shown = 0; at < line.size() && shown < columns; ++shown) {
    at += std::max<std::size_t>(1, Utf8Length(std::string_view(line).substr(at)));
  }
  return line.substr(0, at);
}

std::string ProgressText(const Progress& p, int resends) {
  std::string text(ToString(p.engine.phase));
  if (p.engine.total == 0) return text;  // only begun
  text += Format(" %5.1f%%", p.Percent());
  text += p.engine.phase == Phase::kDownload
              ? "  sector " + std::to_string(p.engine.address / transfer::kSectorSize + 1) + "/" +
                    std::to_string(transfer::kSectorCount)
              : "  block " + Hex(p.engine.address);
  text += "  resends " + std::to_string(resends);
  text += Format("  %.1f s", p.elapsed);
  if (p.eta) text += Format("  ETA %.0f s", *p.eta);
  return text;
}

std::string ResultText(const Result& r) {
  const std::string& device = r.device;
  std::string text = device + ": " + std::string(ToString(r.verdict));
  if (r.report.outcome && !SaysOutcome(r.verdict, *r.report.outcome)) {
    text += " (" + std::string(transfer::ToString(*r.report.outcome)) + ")";
  }
  if (!r.report.outcome) text += " in the " + std::string(ToString(r.phase));
  text += Format(" in %.1f s", r.seconds);
  text += ", " + std::to_string(r.report.TotalResends()) + " resends";
  const transfer::SkipWindow& w = r.report.skipWindow;
  if (w.open) text += ", skip window " + Hex(w.start) + "-" + Hex(w.end);
  text += ", " + std::to_string(r.report.differences.size()) + " differences";
  if (const std::string advice = Advice(r); !advice.empty()) text += "\n" + device + ":   " + advice;
  for (const transfer::Difference& d : r.report.differences) {
    text += "\n" + device + ":   " + Hex(d.address) + " read " + Hex(d.read) +
            " expected " + Hex(d.expected);
  }
  return text;
}

// "2 verified, 1 verify failed; yield 66.7%; 20.1 units/h; mean cycle 310.6 s",
// the figures once they can be told.
std::string WindowText(const station::Window& w) {
  std::string text = std::to_string(w.verified) + " verified";
  for (const auto& [verdict, count] : w.failed) text += ", " + std::to_string(count) + " " + verdict;
  if (const auto yield = w.YieldPercent()) text += Format("; yield %.1f%%", *yield);
  if (const auto units = w.UnitsPerHour()) text += Format("; %.1f units/h", *units);
  if (const auto cycle = w.MeanCycle()) text += Format("; mean cycle %.1f s", *cycle);
  return text;
}

}  // namespace

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = Utf8Length(text);
    const auto c = static_cast<unsigned char>(text[0]);
    // C1 controls are U+0080 to U+009F: 0xC2 followed by 0x80 to 0x9F.
    const bool control = c < 0x20 || c == 0x7F ||
                         (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0);
    if (length == 0 || control) {
      // Each byte of it, so that the escape says exactly what came.
      for (std::size_t i = 0; i < std::max<std::size_t>(length, 1); ++i) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[i]));
        out += escape;
      }
      text.remove_prefix(std::max<std::size_t>(length, 1));
      continue;
    }
    out.append(text.substr(0, length));
    text.remove_prefix(length);
  }
  return out;
}

std::string JsonText(const nlohmann::ordered_json& object) {
  return object.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}

std::string JsonLine(const nlohmann::ordered_json& object) { return JsonText(object) + "\n"; }

Console::Row& Console::RowOf(const std::string& device) {
  // In the order of their devices, whichever spoke first.
  auto at = std::lower_bound(rows_.begin(), rows_.end(), device,
                             [](const Row& row, const std::string& d) { return row.device < d; });
  if (at == rows_.end() || at->device != device) {
    Row row;
    row.device = device;
    at = rows_.insert(at, row);
  }
  return *at;
}

void Console::Json(nlohmann::ordered_json event) {
  // The time first after the kind, on every event.
  nlohmann::ordered_json line = {{"event", event["event"]},
                                 {"time", UtcTimestamp(std::chrono::system_clock::now())}};
  event.erase("event");
  line.update(event);
  out_ << JsonLine(line) << std::flush;
}

void Console::PrintLine(const std::string& line) {
  if (style_ != Style::kTerminal) {
    std::size_t start = 0;
    while (start <= line.size()) {
      const std::size_t end = std::min(line.find('\n', start), line.size());
      out_ << Printable(line.substr(start, end - start)) << '\n';
      start = end + 1;
    }
    out_ << std::flush;
    return;
  }
  // The rows go, and the line that stays takes their place: it may wrap, the
  // rows drawn below it again may not.
  if (drawn_ > 0) out_ << "\x1b[" << drawn_ << 'F';
  out_ << kClearBelow;
  std::size_t start = 0;
  while (start <= line.size()) {
    const std::size_t end = std::min(line.find('\n', start), line.size());
    out_ << Printable(line.substr(start, end - start)) << '\n';
    start = end + 1;
  }
  drawn_ = 0;
  Redraw();
}

void Console::Say(Row& row, const std::string& line) {
  row.said = line;
  PrintLine(row.device + ": " + line);
}

void Console::Redraw() {
  if (drawn_ > 0) out_ << "\x1b[" << drawn_ << 'F';
  drawn_ = 0;
  for (const Row& row : rows_) {
    if (row.done) continue;
    std::string line = row.device + "  " + ProgressText(row.progress, row.resends);
    if (!row.status.empty()) line += "  " + row.status;
    // A row wider than the terminal would wrap, and the cursor movements
    // above count rows, not lines on the screen.
    out_ << kClearLine << Fit(Printable(line), columns_ - 1) << '\n';
    ++drawn_;
  }
  out_ << kClearBelow << std::flush;  // below the rows: what was there before
  drawnAt_ = Clock::now();
}

void Console::Began(const std::string& device, Phase phase) {
  const std::lock_guard lock(mutex_);
  if (quiet_) return;
  Row& row = RowOf(device);
  row.progress = {{.phase = phase}, 0, std::nullopt};
  row.status.clear();  // news of the phase before
  row.shown = Clock::now();
  switch (style_) {
    case Style::kJson: Json({{"event", "phase"}, {"device", device}, {"phase", ToString(phase)}}); break;
    case Style::kPlain: PrintLine(device + ": " + std::string(ToString(phase))); break;
    case Style::kTerminal: Redraw(); break;
  }
}

void Console::Progressed(const std::string& device, const Progress& progress) {
  const std::lock_guard lock(mutex_);
  if (quiet_) return;
  Row& row = RowOf(device);
  const Clock::time_point now = Clock::now();
  row.progress = progress;
  if (style_ == Style::kTerminal) {
    if (now - drawnAt_ >= kRedraw) Redraw();
    return;
  }
  if (now - row.shown < kProgressEvery) return;
  row.shown = now;
  if (style_ == Style::kPlain) return PrintLine(device + ": " + ProgressText(progress, row.resends));
  const transfer::Progress& e = progress.engine;
  nlohmann::ordered_json event = {
      {"event", "progress"},
      {"device", device},
      {"phase", ToString(e.phase)},
      {"percent", Rounded(progress.Percent(), 100)},
      {"position", e.position},
      {"total", e.total},
      {e.phase == Phase::kDownload ? "sector" : "block",
       e.phase == Phase::kDownload ? e.address / transfer::kSectorSize : e.address},
      {"resends", row.resends},
      {"elapsed", Rounded(progress.elapsed, 1000)},
      {"eta", progress.eta ? nlohmann::ordered_json(Rounded(*progress.eta, 10)) : nullptr}};
  Json(event);
}

void Console::Resent(const std::string& device, transfer::FlashAddress sector, int resend) {
  const std::lock_guard lock(mutex_);
  ++RowOf(device).resends;
  if (quiet_ || style_ != Style::kJson) return;  // the status line says it
  Json({{"event", "resend"}, {"device", device}, {"sector", sector / transfer::kSectorSize},
        {"resend", resend}});
}

void Console::Status(const std::string& device, std::string_view text) {
  const std::lock_guard lock(mutex_);
  if (quiet_) return;
  switch (style_) {
    case Style::kJson: Json({{"event", "status"}, {"device", device}, {"text", text}}); break;
    case Style::kPlain: Say(RowOf(device), std::string(text)); break;
    case Style::kTerminal: RowOf(device).status.assign(text); break;
  }
}

void Console::Box(const std::string& device, std::string_view text) {
  const std::lock_guard lock(mutex_);
  if (quiet_) return;
  if (style_ == Style::kJson) return Json({{"event", "box"}, {"device", device}, {"text", text}});
  Row& row = RowOf(device);
  // A box that repeats the status line just printed is said once (on a
  // terminal the status line is redrawn, not printed).
  if (style_ == Style::kPlain && OneLine(text) == row.said) return;
  Say(row, "box: " + OneLine(text));
}

void Console::Verbose(const std::string& device, std::string_view text) {
  const std::lock_guard lock(mutex_);
  err_ << Printable(device + ": " + std::string(text)) << '\n' << std::flush;
}

void Console::Note(std::string_view text) {
  const std::lock_guard lock(mutex_);
  err_ << "lumbra-cli: " << Printable(text) << '\n' << std::flush;
}

void Console::Finished(const Result& result) {
  const std::lock_guard lock(mutex_);
  if (style_ == Style::kJson) {
    nlohmann::ordered_json event = {{"event", "result"}};
    event.update(ResultJson(result));
    return Json(event);
  }
  RowOf(result.device).done = true;
  PrintLine(ResultText(result));
}

void Console::Summary(const std::vector<Result>& results, int exitCode) {
  std::map<Verdict, int> counts;
  for (const Result& r : results) ++counts[r.verdict];
  const std::lock_guard lock(mutex_);
  if (style_ == Style::kJson) {
    nlohmann::ordered_json verdicts = nlohmann::ordered_json::object();
    for (const auto& [verdict, count] : counts) verdicts[std::string(ToString(verdict))] = count;
    return Json({{"event", "summary"}, {"controllers", results.size()}, {"verdicts", verdicts},
                 {"exit_code", exitCode}});
  }
  if (results.size() < 2) return;
  std::string line = std::to_string(results.size()) + " controllers:";
  const char* separator = " ";
  for (const auto& [verdict, count] : counts) {
    line += separator + std::to_string(count) + " " + std::string(ToString(verdict));
    separator = ", ";
  }
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
    std::string line = c.path + "  port " + c.port + "  " + VendorProduct(c.attributes) + "  serial \"" +
                       c.attributes.serialNumber + "\"";
    if (c.lengths) {
      line += "  reports in " + std::to_string(c.lengths->input) + " out " +
              std::to_string(c.lengths->output);
    }
    line += !c.opens      ? "  access denied"
            : c.writable  ? "  writable"
                          : "  not writable by this build (stand-in image)";
    out_ << Printable(line) << '\n';
  }
  out_ << std::flush;
}

void Console::Tally(const station::Counters& counters, std::optional<int> target) {
  if (style_ == Style::kJson) return;  // the result events are the tally
  const station::Window& since = counters.SinceStart();
  const station::Window& today = counters.Today();
  int flashed = since.verified;
  for (const auto& [verdict, count] : since.failed) flashed += count;
  std::string line = "so far " + std::to_string(flashed) + " flashed: " + WindowText(since) + "\ntoday " +
                     WindowText(today);
  if (target) line += "; target " + std::to_string(today.verified) + "/" + std::to_string(*target);
  const std::lock_guard lock(mutex_);
  if (target && today.verified >= *target && !targetTold_) {
    line += "\ntarget of " + std::to_string(*target) + " reached today";
    targetTold_ = true;
  }
  PrintLine(line);
}

}  // namespace lumbra::cli
