// The station page's cost to the flashing: four controllers under `watch
// --http` with page clients reading the live events, against the same with
// none. At --pace 25 each cycle should take the dialog's 310.525 s (12,421
// steps of 25 ms) whatever the clients do; on the USB frame model at --pace 0
// the clients must not slow the bus-bound cycle. Also the CPU the server's
// thread takes, in percent of a core, over the cycle.
//
//   bench_page --benchmark_filter=Frame              the frame model, 0, 10 and 50 clients
//   bench_page --benchmark_filter=Dialog             --pace 25, 10 and 50 clients (over 10 minutes)
#include <benchmark/benchmark.h>

#include <boost/asio.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "emulator/emulated_hid_platform.h"
#include "support/awaited_output.h"

namespace {

namespace net = boost::asio;
using net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kControllers = 4;


// The CPU seconds of this process's thread named `name` (Linux), 0 when none.
double ThreadCpuSeconds(const std::string& name) {
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    if (comm != name) continue;
    std::string stat;
    std::getline(std::ifstream(task.path() / "stat"), stat);
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return 0;
}

// `clients` page clients on one thread of their own, each reading the
// event stream as a browser does, until the io context stops.
class Clients {
 public:
  Clients(std::uint16_t port, int clients) {
    for (int i = 0; i < clients; ++i) {
      auto& c = clients_.emplace_back(std::make_unique<Client>(io_));
      c->socket.connect({net::ip::make_address("127.0.0.1"), port});
      net::write(c->socket, net::buffer(std::string("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")));
      Read(*c);
    }
    thread_ = std::thread([this] { io_.run(); });
  }
  ~Clients() {
    io_.stop();
    thread_.join();
  }
  std::size_t Bytes() const { return bytes_; }

 private:
  struct Client {
    explicit Client(net::io_context& io) : socket(io) {}
    tcp::socket socket;
    char buffer[16 * 1024];
  };
  void Read(Client& c) {
    c.socket.async_read_some(net::buffer(c.buffer), [this, &c](boost::system::error_code e, std::size_t n) {
      bytes_ += n;
      if (!e) Read(c);
    });
  }
  net::io_context io_;
  std::vector<std::unique_ptr<Client>> clients_;
  std::size_t bytes_ = 0;
  std::thread thread_;
};

void Run(benchmark::State& state, bool frameModel, const char* pace) {
  const int clientCount = static_cast<int>(state.range(0));
  double cpu = 0, wall = 0, cycle = 0;
  for (auto _ : state) {
    lumbra::emulator::EmulatedHidPlatform platform;
    lumbra::emulator::ControllerOptions options;
    options.transcriptCapacity = 0;
    for (int i = 0; i < kControllers; ++i) platform.AddController(options);
    if (frameModel) platform.UseFrameModel();
    lumbra::testsupport::AwaitedOutput out, err;
    std::ostream outStream(&out), errStream(&err);
    lumbra::cli::StopSignal stop;
    int code = -1;
    const auto start = Clock::now();
    std::thread watch([&] {
      const std::vector<std::string> args = {"watch", "--pace", pace, "--http", "127.0.0.1:0", "--json"};
      code = lumbra::cli::RunCli(args, &platform, {outStream, errStream}, stop);
    });
    const std::string said = "station page at http://127.0.0.1:";
    if (!err.Await(said)) {
      stop.Request();
      watch.join();
      state.SkipWithError("no station page");
      return;
    }
    const std::string text = err.Text();
    const auto port = static_cast<std::uint16_t>(std::stoi(text.substr(text.find(said) + said.size())));
    const double cpuBefore = ThreadCpuSeconds("lumbra-page");
    {
      Clients clients(port, clientCount);
      while (out.Count(R"("event":"result")") < kControllers) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    cpu += ThreadCpuSeconds("lumbra-page") - cpuBefore;
    wall += seconds;
    stop.Request();
    watch.join();
    if (out.Count(R"("verdict":"verified")") != kControllers) state.SkipWithError("not every controller verified");
    std::istringstream lines(out.Text());
    for (std::string line; std::getline(lines, line);) {
      const nlohmann::json event = nlohmann::json::parse(line);
      if (event["event"] == "result") cycle = std::max(cycle, event["seconds"].get<double>());
    }
    state.SetIterationTime(seconds);
  }
  state.counters["server_cpu_percent"] = 100 * cpu / wall;
  state.counters["slowest_cycle_s"] = cycle;  // of every controller in every iteration
}

void BM_FrameModel(benchmark::State& state) { Run(state, true, "0"); }
void BM_DialogPace(benchmark::State& state) { Run(state, false, "25"); }

BENCHMARK(BM_FrameModel)->Arg(0)->Arg(10)->Arg(50)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DialogPace)->Arg(10)->Arg(50)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
