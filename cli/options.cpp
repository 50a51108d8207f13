#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <string_view>
#include <vector>

#include "cli/console.h"
#ifdef LUMBRA_HAVE_DATABASE
#include "database/connection.h"
#endif
#include "page/server.h"
#include "station/station.h"
#include "transfer/firmware_image.h"

namespace lumbra::cli {

namespace {

using station::kMaxPaceMs;
constexpr int kMaxSimulated = 64;

constexpr struct {
  std::string_view name;
  Plant plant;
  std::string_view help;
} kPlants[] = {
    {"ok", Plant::kNone, "nothing wrong"},
    {"stuck", Plant::kStuck, "two bytes stuck, cancelling in their sector's sum: verify failed (1)"},
    {"badsum", Plant::kBadSum, "sector 3's sum always answered wrong: download failed (2)"},
    {"unplug", Plant::kUnplug, "pulled out in the download, for good: download failed (2)"},
    {"replug", Plant::kReplug, "pulled out after its run and plugged in again: watch flashes it again"},
};

// Command-line text, quoted and made harmless for the terminal.
std::string Quoted(const std::string& text) { return '"' + Printable(text) + '"'; }

std::optional<int> Number(const std::string& text, int low, int high) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || value < low || value > high) return std::nullopt;
  return value;
}

struct Simulated {
  std::vector<Plant> plants;
  std::vector<std::string> serials;  // "" where the item names none
};

// "N" or a list of plants such as "ok,stuck:SN123,replug", each with the
// serial number after its first colon when it has one.
std::optional<Simulated> Plants(const std::string& text) {
  if (const std::optional<int> count = Number(text, 1, kMaxSimulated)) {
    const auto n = static_cast<std::size_t>(*count);
    return Simulated{std::vector<Plant>(n, Plant::kNone), std::vector<std::string>(n)};
  }
  Simulated simulated;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    std::string_view name = std::string_view(text).substr(start, end - start);
    std::string serial;
    if (const std::size_t colon = name.find(':'); colon != std::string_view::npos) {
      serial = name.substr(colon + 1);
      name = name.substr(0, colon);
    }
    const auto* known = std::find_if(std::begin(kPlants), std::end(kPlants),
                                     [&](const auto& p) { return p.name == name; });
    if (known == std::end(kPlants) || simulated.plants.size() == kMaxSimulated) return std::nullopt;
    simulated.plants.push_back(known->plant);
    simulated.serials.push_back(std::move(serial));
    start = end + 1;
  }
  return simulated;
}

std::string PlantHelp() {
  std::string text =
      "--simulate LIST plants one of these in each controller (PLANT:SN also gives it serial number SN):\n";
  for (const auto& p : kPlants) {
    text += "  " + std::string(p.name) + std::string(8 - p.name.size(), ' ') + std::string(p.help) + '\n';
  }
  return text;
}

const CLI::Validator kPaceCheck(
    [](std::string& text) {
      return Number(text, 0, kMaxPaceMs) ? std::string()
                                         : Quoted(text) + " is not a number of milliseconds (0 to " +
                                               std::to_string(kMaxPaceMs) + ")";
    },
    "");

const CLI::Validator kSimulateCheck(
    [](std::string& text) {
      return Plants(text) ? std::string()
                          : Quoted(text) + " is neither a number of controllers (1 to " +
                                std::to_string(kMaxSimulated) +
                                ") nor a list of ok, stuck, badsum, unplug, replug";
    },
    "");

const CLI::Validator kListenCheck(
    [](std::string& text) {
      std::string error;
      return page::ParseListenAddress(text, error) ? std::string() : error;
    },
    "");

// A build without a PostgreSQL client takes any URL, and says later that
// it has none.
const CLI::Validator kDatabaseCheck(
    [](std::string& text) {
      std::string error;
#ifdef LUMBRA_HAVE_DATABASE
      if (!database::UrlValid(text, error)) return error;
#endif
      (void)text;
      return error;
    },
    "");

CLI::Option* AddDatabaseOption(CLI::App& command, Options& o) {
  return command
      .add_option_function<std::string>(
          "--db", [&o](const std::string& url) { o.db = url; },
          "the line's PostgreSQL database, as libpq reads it (postgresql://user@host/db?sslmode=require)")
      ->type_name("URL")
      ->check(kDatabaseCheck);
}

// Also on the program itself, so that they may come before the command.
void AddCommonOptions(CLI::App& command, Options& o, std::string& simulate) {
  command.add_flag("--json", o.json, "JSON lines on stdout, one object per event");
  command.add_flag("--quiet", o.quiet, "results only: no progress, status lines or message boxes");
  command.add_option("--simulate", simulate,
                     "N emulated controllers instead of the HID devices, or one per fault in LIST")
      ->type_name("N|LIST")
      ->check(kSimulateCheck);
  command.add_flag("--verbose", o.verbose, "causes (OS error codes, reconnects) on stderr");
  command.footer(PlantHelp());
}

void AddFlashOptions(CLI::App& command, Options& o, std::string& simulate) {
  AddCommonOptions(command, o, simulate);
  command.add_option("--pace", o.paceMs,
                     "milliseconds from one step's start to the next (" + std::to_string(kDialogPaceMs) +
                         ", the dialog's)")
      ->type_name("MS")
      ->check(kPaceCheck);
  command.add_option_function<std::string>(
             "--report", [&o](const std::string& file) { o.reportFile = file; },
             "append one JSON record per controller to FILE")
      ->type_name("FILE");
  command.add_option_function<std::string>(
             "--station", [&o](const std::string& file) { o.stationFile = file; },
             "the station's name, slots, target and pace, from this JSON file")
      ->type_name("FILE");
}

std::string VersionText() {
  std::string text = "lumbra-cli " LUMBRA_VERSION "\nfirmware image " LUMBRA_IMAGE_VERSION;
  if (transfer::FirmwareImage::IsStandIn()) text += " STAND-IN: not Quorvex firmware, for tests only";
  return text + "\nimage SHA-256 " LUMBRA_IMAGE_SHA256;
}

// CLI11's text, or ours where it would name the wrong thing.
std::string Problem(const CLI::ParseError& e, const CLI::App& app, const CLI::App* command) {
  const std::vector<std::string> extra = app.remaining(true);
  if (!extra.empty()) {
    const std::string& first = extra.front();
    if (first.starts_with('-')) return "unknown option " + Quoted(first);
    return (command == nullptr ? "unknown command " : "unexpected argument ") + Quoted(first);
  }
  if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr && command == nullptr) {
    return "no command given: list, flash, watch, records or help";
  }
  const std::string what = e.what();
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr && what.ends_with("missing")) {
    return Printable(what.substr(0, what.find(':'))) + ": the value is missing";
  }
  return Printable(what);
}

int Usage(std::ostream& err, const std::string& problem, const CLI::App* command) {
  err << "lumbra-cli: " << problem << "\nRun 'lumbra-cli "
      << (command ? (command->get_parent() != nullptr && command->get_parent()->get_parent() != nullptr
                         ? command->get_parent()->get_name() + " "
                         : std::string()) +
                        command->get_name() + " --help' for the options.\n"
                  : "--help' for the commands.\n");
  return kExitUsage;
}

}  // namespace

ParsedCommandLine ParseCommandLine(std::span<const std::string> args, std::ostream& out,
                                   std::ostream& err) {
  Options o;
  std::string simulate;
  CLI::App app("Writes Quorvex firmware " LUMBRA_IMAGE_VERSION
               " into Quorvex controllers and verifies it.",
               "lumbra-cli");
  app.require_subcommand(1);
  app.set_version_flag("--version", VersionText);
  AddCommonOptions(app, o, simulate);

  CLI::App* list = app.add_subcommand("list", "list the attached controllers");
  AddCommonOptions(*list, o, simulate);

  CLI::App* flash = app.add_subcommand("flash", "flash one controller, or every one with --all");
  AddFlashOptions(*flash, o, simulate);
  CLI::Option* device =
      flash->add_option("--device", o.device, "the controller at this path")->type_name("PATH");
  CLI::Option* serial =
      flash->add_option("--serial", o.serial, "the controller with this serial number")->type_name("SN");
  CLI::Option* all = flash->add_flag("--all", o.all, "every controller attached, at once");
  CLI::Option* port =
      flash->add_option("--port", o.port, "the controller at this USB port (see list)")->type_name("PORT");
  device->excludes(serial)->excludes(all);
  serial->excludes(all);
  port->excludes(device)->excludes(serial)->excludes(all);

  CLI::App* watch = app.add_subcommand("watch", "flash each controller as it is plugged in");
  AddFlashOptions(*watch, o, simulate);
  watch
      ->add_option_function<std::string>(
          "--http", [&o](const std::string& address) { o.http = address; },
          "serve the station page at [ADDR:]PORT (ADDR 127.0.0.1 unless given)")
      ->type_name("[ADDR:]PORT")
      ->check(kListenCheck);

  AddDatabaseOption(*watch, o)
      ->needs(watch->get_option("--report"))
      ->description("also send each record to the line's PostgreSQL database (URL as libpq reads it)");

  CLI::App* records = app.add_subcommand("records", "the line's records in PostgreSQL: push, query, stats");
  records->require_subcommand(1);
  records->footer("");  // the --simulate help of the others
  CLI::App* push = records->add_subcommand("push", "send the database every record of FILE it lacks");
  push->add_option("FILE", o.pushFile, "a record file (--report)")->required();
  CLI::App* query = records->add_subcommand("query", "print the records the database holds");
  query->add_option_function<std::string>(
          "--serial", [&o](const std::string& sn) { o.serialFilter = sn; }, "of the controller with this serial number")
      ->type_name("SN");
  CLI::App* stats = records->add_subcommand("stats", "verified, failed, yield and mean cycle per station and UTC day");
  for (CLI::App* c : {push, query, stats}) AddDatabaseOption(*c, o)->required();
  for (CLI::App* c : {query, stats}) {
    c->add_option_function<std::string>(
           "--station", [&o](const std::string& name) { o.stationName = name; }, "of the station with this name")
        ->type_name("NAME");
    c->add_option_function<std::string>(
           "--since", [&o](const std::string& time) { o.since = time; },
           "that ended at or after TIME (UTC unless it says, e.g. 2026-12-08 or 2026-12-08T06:00Z)")
        ->type_name("TIME");
    c->add_flag("--json", o.json, "JSON lines on stdout");
  }

  CLI::App* help = app.add_subcommand("help", "the commands, or a command's options");
  std::string topic;
  help->add_option("command", topic, "list, flash, watch or records");

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return {std::nullopt, app.exit(e, out, err)};  // --help, --version
    const CLI::App* command = nullptr;
    for (const CLI::App* c : {list, flash, watch, records, push, query, stats}) {
      if (c->parsed()) command = c;
    }
    return {std::nullopt, Usage(err, Problem(e, app, command), command)};
  }
  if (help->parsed()) {
    if (!topic.empty() && topic != "list" && topic != "flash" && topic != "watch" && topic != "records") {
      return {std::nullopt, Usage(err, "unknown command " + Quoted(topic), nullptr)};
    }
    // app.help() would describe `help` itself, the command given.
    out << (topic.empty() ? app.get_formatter()->make_help(&app, "lumbra-cli", CLI::AppFormatMode::Normal)
                          : app.get_subcommand(topic)->help("lumbra-cli"));
    return {std::nullopt, kExitVerified};
  }
  if (!simulate.empty()) {
    Simulated simulated = *Plants(simulate);
    o.plants = std::move(simulated.plants);
    o.serials = std::move(simulated.serials);
    o.simulate = static_cast<int>(o.plants.size());
  }
  o.command = list->parsed()    ? Command::kList
              : flash->parsed() ? Command::kFlash
              : watch->parsed() ? Command::kWatch
              : push->parsed()  ? Command::kPush
              : query->parsed() ? Command::kQuery
                                : Command::kStats;
  if (o.command == Command::kFlash || o.command == Command::kWatch) {
    o.paceGiven = (o.command == Command::kFlash ? flash : watch)->get_option("--pace")->count() > 0;
  }
  return {o, 0};
}

}  // namespace lumbra::cli
