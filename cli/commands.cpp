#include "cli/commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "cli/console.h"
#include "cli/options.h"
#include "cli/page_feed.h"
#include "cli/record.h"
#ifdef LUMBRA_HAVE_DATABASE
#include "cli/records_commands.h"
#include "database/forwarder.h"
#endif
#include "cli/runner.h"
#include "cli/shared_platform.h"
#include "emulator/emulated_hid_platform.h"
#include "page/server.h"
#include "station/records.h"
#include "station/station.h"
#include "transfer/firmware_image.h"

namespace lumbra::cli {

namespace {

// Every event to the console and to the station page.
class BothEvents final : public Events {
 public:
  BothEvents(Events& first, Events& second) : first_(first), second_(second) {}
  void Began(const std::string& d, Phase p) override { first_.Began(d, p), second_.Began(d, p); }
  void Progressed(const std::string& d, const Progress& p) override {
    first_.Progressed(d, p), second_.Progressed(d, p);
  }
  void Resent(const std::string& d, transfer::FlashAddress s, int n) override {
    first_.Resent(d, s, n), second_.Resent(d, s, n);
  }
  void Status(const std::string& d, std::string_view t) override { first_.Status(d, t), second_.Status(d, t); }
  void Box(const std::string& d, std::string_view t) override { first_.Box(d, t), second_.Box(d, t); }
  void Verbose(const std::string& d, std::string_view t) override {
    first_.Verbose(d, t), second_.Verbose(d, t);
  }

 private:
  Events& first_;
  Events& second_;
};

// What flash and watch share: the platform, the console, the records, the
// results and the worst exit code so far. Each controller is told and
// recorded exactly once: by its thread when it ends, or by the second stop
// request, which does not wait for it.
class Session {
 public:
  // `page`, when given, is told every event and result too.
  Session(const Options& options, const station::Station& station, SharedPlatform& shared,
          Console& console, StopSignal& stop, bool tally, PageFeed* page = nullptr)
      : settings_{options.paceMs, options.verbose, options.simulate > 0},
        station_(station), shared_(shared), console_(console), stop_(stop), tally_(tally),
        page_(page), counters_(std::chrono::system_clock::now()) {
    if (page_ != nullptr) both_.emplace(console_, *page_);
    if (options.reportFile) {
      // The counters go on from the records there, so that a restart keeps today's.
      if (tally) {
        const station::ReadBack back = station::ReadRecords(*options.reportFile);
        for (const std::string& warning : back.warnings) console_.Note(warning);
        for (const nlohmann::json& record : back.records) counters_.Add(record);
        if (page_ != nullptr) page_->Seed(back.records, counters_);
      }
      records_.emplace(*options.reportFile);
      if (!records_->Error().empty()) console_.Note(records_->Error());
    }
    stop_.OnSecondRequest([this] { RecordUnfinished(); });
  }

  ~Session() {
    Reap(true);  // when an exception left the main thread's loop
    stop_.OnSecondRequest(nullptr);
  }

  // False when the record file cannot be opened: refused before any
  // controller is touched, or a whole shift would run without records.
  bool Ready() const { return !records_ || records_->Error().empty(); }

  // Before the first Start: what is told after each record reached the disk
  // (on the controller's thread, under the session's lock: it must not wait).
  void OnAppended(std::function<void()> appended) { appended_ = std::move(appended); }

  // Runs one controller on a thread of its own; its path must be claimed.
  // One that may not be opened is run too: the engine ends it "access denied".
  void Start(const Controller& controller) {
    if (!settings_.emulated && settings_.paceMs < kDialogPaceMs && !paceNoted_) {
      console_.Note("a pace below " + std::to_string(kDialogPaceMs) +
                    " ms is unproven on a real controller; the verification decides");
      paceNoted_ = true;
    }
    const std::lock_guard lock(mutex_);
    Job& job = jobs_.emplace_back();
    job.controller = controller;
    job.live.Update(Begun(controller, settings_));  // for a second request before the run begins
    if (page_ != nullptr) page_->Added(controller);
    job.thread = std::thread([this, &job] { Run(job); });
  }

  // Joins the threads that have ended; all of them when `all`. Only this
  // thread changes the list; the second request reads it under the lock.
  void Reap(bool all) {
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      if (!all && !it->done) {
        ++it;
        continue;
      }
      if (it->thread.joinable()) it->thread.join();
      const std::lock_guard lock(mutex_);
      it = jobs_.erase(it);
    }
  }

  int ExitCode() {
    Reap(true);
    const std::lock_guard lock(mutex_);
    const int code = Code();
    if (code == kExitRecordFailed) console_.Note(records_->Error());
    if (!summarized_) console_.Summary(results_, code);
    summarized_ = true;
    return code;
  }

 private:
  struct Job {
    Controller controller;
    LiveRun live;
    std::thread thread;
    std::atomic<bool> done{false};
    bool recorded = false;  // under mutex_
  };

  // The thread's edge: an unexpected exception ends this controller alone.
  void Run(Job& job) {
    Result result;
    try {
      Events& events = both_ ? static_cast<Events&>(*both_) : console_;
      result = RunController(shared_, job.controller, settings_, events, stop_, &job.live);
    } catch (const std::exception& e) {
      result = Failed(job, e.what());
    } catch (...) {
      result = Failed(job, "an exception of unknown type");
    }
    {
      const std::lock_guard lock(mutex_);
      if (!job.recorded) Tell(result);
      job.recorded = true;
    }
    job.done = true;
  }

  static Result Failed(const Job& job, std::string cause) {
    Result result = job.live.Snapshot();
    result.verdict = Verdict::kInternalError;
    result.cause = std::move(cause);
    return result;
  }

  // The second request: the program exits next, so each controller still
  // running is recorded as it stands, without waiting for it or touching it.
  void RecordUnfinished() {
    const std::lock_guard lock(mutex_);
    bool any = false;
    for (Job& job : jobs_) {
      if (job.recorded) continue;
      Tell(job.live.Snapshot());
      job.recorded = any = true;
    }
    if (!any) return;
    console_.Summary(results_, Code());
    summarized_ = true;
  }

  // Under mutex_.
  void Tell(const Result& result) {
    if (result.verdict == Verdict::kInternalError) {
      console_.Note(result.device + ": internal error: " + result.cause);
    }
    console_.Finished(result);
    const nlohmann::ordered_json record = RecordJson(result, settings_.paceMs, station_);
    // On the disk before it counts, and before the database is offered it.
    if (records_ && records_->Append(JsonLine(record)) && appended_) appended_();
    results_.push_back(result);
    counters_.Add(record);
    if (page_ != nullptr) page_->Recorded(result, record, counters_);
    if (tally_) console_.Tally(counters_, station_.target);
  }

  // Under mutex_.
  int Code() const {
    if (records_ && !records_->Error().empty()) return kExitRecordFailed;
    int code = kExitVerified;
    for (const Result& result : results_) code = std::max(code, cli::ExitCode(result.verdict));
    return code;
  }

  const RunSettings settings_;
  const station::Station& station_;
  SharedPlatform& shared_;
  Console& console_;
  StopSignal& stop_;
  const bool tally_;  // watch: the counters after each result
  PageFeed* page_;
  std::optional<BothEvents> both_;
  bool paceNoted_ = false;
  std::optional<station::RecordFile> records_;
  std::function<void()> appended_;
  station::Counters counters_;
  std::mutex mutex_;
  std::list<Job> jobs_;
  std::vector<Result> results_;
  bool summarized_ = false;
};

bool Usable(const Controller& c) { return c.opens && c.writable; }

int List(SharedPlatform& shared, Console& console) {
  const std::vector<Controller> controllers = shared.ListControllers();
  console.Listing(controllers);
  if (std::none_of(controllers.begin(), controllers.end(), Usable)) {
    console.Note(controllers.empty() ? "no controller attached"
                                     : "no controller this build may write to");
    return kExitNoController;
  }
  return kExitVerified;
}

// True when `path` names nothing on the file system. Windows' device
// interface paths are not files: there nothing is said.
bool PathMissing(const std::string& path) {
#ifdef _WIN32
  (void)path;
  return false;
#else
  std::error_code error;
  return !std::filesystem::exists(path, error) && !error;
#endif
}

// The controllers flash works on; nullopt when it refuses to choose.
// `machine`: `attached` are the machine's HID devices.
std::optional<std::vector<Controller>> Choose(const Options& o,
                                              const std::vector<Controller>& attached,
                                              Console& console, bool machine) {
  if (o.all && !attached.empty()) return attached;
  std::vector<Controller> chosen;
  for (const Controller& c : attached) {
    if ((!o.device.empty() && c.path == o.device) ||
        (!o.serial.empty() && c.attributes.serialNumber == o.serial) ||
        (!o.port.empty() && c.port == o.port) ||
        (o.device.empty() && o.serial.empty() && o.port.empty())) {
      chosen.push_back(c);
    }
  }
  if (chosen.size() > 1) {
    console.Note("several controllers match; name one with --device PATH, or flash all with --all:");
    console.Listing(chosen);
    return std::nullopt;
  }
  if (chosen.empty()) {
    // Nothing there (yet): the engine looks once more and says so its way,
    // which for a mistyped path would be to check the cable.
    if (o.all) console.Note("no controller attached");
    if (machine && !o.device.empty() && PathMissing(o.device)) {
      console.Note(o.device + " does not exist; 'lumbra-cli list' shows the controllers attached");
    }
    Controller wanted;
    wanted.path = o.device;
    wanted.port = o.port;
    wanted.attributes.serialNumber = o.serial;
    chosen.push_back(wanted);
  }
  return chosen;
}

int Flash(const Options& o, const station::Station& station, SharedPlatform& shared,
          Console& console, StopSignal& stop, bool machine) {
  const std::vector<Controller> attached = shared.ListControllers();
  const std::optional<std::vector<Controller>> chosen = Choose(o, attached, console, machine);
  if (!chosen) return kExitUsage;
  Session session(o, station, shared, console, stop, false);
  if (!session.Ready()) return kExitRecordFailed;
  // Every path is claimed before the first thread starts: a controller that
  // a replug moved must not be followed by its serial number onto another
  // chosen one's path.
  for (const Controller& c : *chosen) {
    if (!c.path.empty()) shared.Claim(c.path);
  }
  for (const Controller& c : *chosen) session.Start(c);
  return session.ExitCode();
}

// The station page's server, listening; nullptr (and said why) when it
// cannot listen where it was asked to.
std::unique_ptr<page::Server> PageServer(const std::string& address, PageFeed& feed,
                                         Console& console) {
  std::string error;
  const std::optional<page::ListenAddress> where = page::ParseListenAddress(address, error);
  auto server = std::make_unique<page::Server>(feed);
  if (!where || !server->Listen(*where, error)) {
    console.Note("--http: " + error);
    return nullptr;
  }
  page::Server& to = *server;
  feed.SetPublisher([&to](std::string event) { to.Publish(std::move(event)); });
  console.Note("station page at http://" + page::ToString(server->Bound()) + "/");
  return server;
}

// With a station file, only the controllers on its slots are flashed.
int Watch(const Options& o, const station::Station& station, SharedPlatform& shared,
          Console& console, StopSignal& stop) {
  std::optional<PageFeed> feed;
  std::unique_ptr<page::Server> server;
  if (o.http) {
    feed.emplace(station, o.reportFile, o.paceMs);
    server = PageServer(*o.http, *feed, console);
    if (!server) return kExitRecordFailed;
  }
#ifdef LUMBRA_HAVE_DATABASE
  // Made before the session and ended after it: the last records are sent too.
  std::optional<database::Forwarder> forwarder;
#endif
  Session session(o, station, shared, console, stop, true, feed ? &*feed : nullptr);
  if (!session.Ready()) return kExitRecordFailed;
#ifdef LUMBRA_HAVE_DATABASE
  if (o.db) {
    forwarder.emplace(
        *o.db, *o.reportFile, [&console](const std::string& text) { console.Note(text); },
        [&feed](std::optional<std::size_t> waiting, const std::string& state) {
          if (feed) feed->Database(waiting, state);
        });
    session.OnAppended([&forwarder] { forwarder->Appended(); });
  }
#endif
  if (server) server->Start();
  console.Note("waiting for controllers: each is flashed as it is plugged in; Ctrl-C stops");
  std::set<std::string> leftAlone;
  std::vector<std::string> gone;
  while (!stop.Requested()) {
    gone.clear();
    const std::vector<Controller> arrivals = shared.Arrivals(&gone);
    for (const std::string& path : gone) {
      if (feed) feed->Removed(path);
    }
    for (const Controller& c : arrivals) {
      if (!shared.Claim(c.path)) continue;  // claimed alone too: not opened again at every look
      if (station.slots.empty() || station.SlotAt(c.port) != nullptr) {
        session.Start(c);
      } else if (leftAlone.insert(c.path).second) {
        console.Note(c.path + " at port " + c.port + ": on no slot of station " + station.name +
                     "; left alone");
      }
    }
    session.Reap(false);
    stop.WaitFor(std::chrono::milliseconds(kWatchPollMs));
  }
  return session.ExitCode();
}

// The enumerations a replugged controller stays away: watch, looking every
// kWatchPollMs, must see it gone once its run has let go of it.
constexpr std::uint32_t kReplugAwayLooks = 5;

// Two bytes of sector 1 stuck one above and one below the image's, so that
// the sector's sum holds and only the verification can find them.
void PlantStuckBytes(emulator::QuorvexController& controller) {
  using transfer::FirmwareImage;
  std::optional<std::uint32_t> up, down;
  for (std::uint32_t a = transfer::kSectorSize; a < 2 * transfer::kSectorSize && !(up && down); ++a) {
    if (!up && FirmwareImage::Byte(a) != 0xFF) {
      up = a;
    } else if (!down && FirmwareImage::Byte(a) != 0x00) {
      down = a;
    }
  }
  const auto near = [](std::uint32_t a, int by) { return static_cast<std::uint8_t>(FirmwareImage::Byte(a) + by); };
  controller.AddFault(emulator::Fault::StuckBits(*up, 0xFF, near(*up, 1)));
  controller.AddFault(emulator::Fault::StuckBits(*down, 0xFF, near(*down, -1)));
}

// --simulate: one emulated controller per plant.
std::unique_ptr<link::HidPlatform> Simulated(const std::vector<Plant>& plants,
                                             const std::vector<std::string>& serials) {
  auto platform = std::make_unique<emulator::EmulatedHidPlatform>();
  emulator::ControllerOptions options;
  options.transcriptCapacity = 0;
  for (std::size_t i = 0; i < plants.size(); ++i) {
    emulator::DeviceSpec spec;
    if (i < serials.size() && !serials[i].empty()) spec.serialNumber = serials[i];
    emulator::QuorvexController& controller = platform->AddController(options, spec);
    switch (plants[i]) {
      case Plant::kNone: break;
      case Plant::kStuck: PlantStuckBytes(controller); break;
      case Plant::kBadSum: controller.AddFault(emulator::Fault::WrongChecksum(3, emulator::kEveryTime)); break;
      case Plant::kUnplug: controller.AddFault(emulator::Fault::Unplug(2000)); break;
      case Plant::kReplug: platform->ReplugAfterRun(i, kReplugAwayLooks); break;
    }
  }
  return platform;
}

}  // namespace

int RunCli(std::span<const std::string> args, link::HidPlatform* platform, Io io,
           StopSignal& stop) {
  const ParsedCommandLine parsed = ParseCommandLine(args, io.out, io.err);
  if (!parsed.options) return parsed.exitCode;
  Options o = *parsed.options;
  if (o.db) {
#ifndef LUMBRA_HAVE_DATABASE
    io.err << "lumbra-cli: this build has no PostgreSQL client: push the record file from a Linux machine "
              "with 'lumbra-cli records push FILE --db URL'\n";
    return kExitDatabaseAway;
#else
    if (o.command == Command::kPush || o.command == Command::kQuery || o.command == Command::kStats) {
      Console console(io.out, io.err, Style::kPlain);
      return RecordsCommand(o, console, io.out);
    }
#endif
  }
  // A station file is refused before any controller is touched.
  station::Station station;
  if (o.stationFile) {
    station::LoadedStation loaded = station::LoadStation(*o.stationFile);
    if (loaded.problem != station::LoadedStation::Problem::kNone) {
      io.err << "lumbra-cli: " << Printable(loaded.error) << '\n';
      return loaded.problem == station::LoadedStation::Problem::kUnreadable ? kExitRecordFailed
                                                                            : kExitUsage;
    }
    station = std::move(loaded.station);
    if (station.paceMs && !o.paceGiven) o.paceMs = *station.paceMs;
  }
  if (station.name.empty()) station.name = station::HostName();
  const bool machine = platform == nullptr && o.simulate == 0;

  std::unique_ptr<link::HidPlatform> owned;
  if (o.simulate > 0) {
    owned = Simulated(o.plants, o.serials);
    platform = owned.get();
  } else if (platform == nullptr) {
    owned = MachinePlatform();
    platform = owned.get();
  }
  SharedPlatform shared(*platform);
  Console console(io.out, io.err,
                  o.json ? Style::kJson : io.terminal ? Style::kTerminal : Style::kPlain,
                  io.columns, o.quiet);
  switch (o.command) {
    case Command::kList: return List(shared, console);
    case Command::kFlash: return Flash(o, station, shared, console, stop, machine);
    case Command::kWatch: return Watch(o, station, shared, console, stop);
    case Command::kPush:
    case Command::kQuery:
    case Command::kStats: break;  // above, before any controller
  }
  return kExitUsage;
}

}  // namespace lumbra::cli
