#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <vector>

namespace lumbra::cli {

namespace {

constexpr int kMaxPaceMs = 60'000;
constexpr int kMaxSimulated = 64;

void AddCommonOptions(CLI::App& command, Options& o) {
  command.add_flag("--json", o.json, "JSON lines on stdout, one object per event");
  command.add_option("--simulate", o.simulate,
                     "N emulated controllers in this process instead of the HID devices")
      ->type_name("N")
      ->check(CLI::Range(1, kMaxSimulated));
  command.add_flag("--verbose", o.verbose, "causes (OS error codes, reconnects) on stderr");
}

void AddFlashOptions(CLI::App& command, Options& o) {
  AddCommonOptions(command, o);
  command.add_option("--pace", o.paceMs, "milliseconds from one step's start to the next (25)")
      ->type_name("MS")
      ->check(CLI::Range(0, kMaxPaceMs));
  command.add_option_function<std::string>(
             "--report", [&o](const std::string& file) { o.reportFile = file; },
             "append one JSON record per controller to FILE")
      ->type_name("FILE");
}

}  // namespace

ParsedCommandLine ParseCommandLine(std::span<const std::string> args, std::ostream& out,
                                   std::ostream& err) {
  Options o;
  CLI::App app("Writes Quorvex firmware 2.01 into Quorvex controllers and verifies it.",
               "lumbra-cli");
  app.require_subcommand(1);
  app.set_version_flag("--version", LUMBRA_VERSION);

  CLI::App* list = app.add_subcommand("list", "list the attached controllers");
  AddCommonOptions(*list, o);

  CLI::App* flash = app.add_subcommand("flash", "flash one controller, or every one with --all");
  AddFlashOptions(*flash, o);
  CLI::Option* device =
      flash->add_option("--device", o.device, "the controller at this path")->type_name("PATH");
  CLI::Option* serial =
      flash->add_option("--serial", o.serial, "the controller with this serial number")->type_name("SN");
  CLI::Option* all = flash->add_flag("--all", o.all, "every controller attached, at once");
  device->excludes(serial)->excludes(all);
  serial->excludes(all);

  CLI::App* watch = app.add_subcommand("watch", "flash each controller as it is plugged in");
  AddFlashOptions(*watch, o);

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    return {std::nullopt, code == 0 ? 0 : kExitUsage};
  }
  o.command = list->parsed() ? Command::kList : flash->parsed() ? Command::kFlash : Command::kWatch;
  return {o, 0};
}

}  // namespace lumbra::cli
