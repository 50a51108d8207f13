#include "pg_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace lumbra::testing {

namespace {

std::string Bin() {
  const char* bin = std::getenv("LUMBRA_PG_BIN");
  return bin != nullptr ? bin : "/usr/lib/postgresql/15/bin";
}

// A loopback port nobody listens on now.
int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

}  // namespace

bool PgServer::Installed() {
  for (const char* program : {"initdb", "pg_ctl", "postgres"}) {
    if (access((Bin() + "/" + program).c_str(), X_OK) != 0) return false;
  }
  return true;
}

PgServer::PgServer() {
  std::string folder = (std::filesystem::temp_directory_path() / "lumbra-pg-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) return;
  folder_ = folder;
  port_ = FreePort();
  std::ofstream(folder_ + "/pw") << kPassword << '\n';
  // PostgreSQL refuses to run as root: the folder is given to nobody.
  if (geteuid() == 0 && std::system(("chown -R nobody " + folder_).c_str()) != 0) return;
  if (!As(Bin() + "/initdb -D " + folder_ + "/data -U " + kUser + " --pwfile=" + folder_ +
          "/pw --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --no-locale >" + folder_ + "/initdb.log 2>&1")) {
    return;
  }
  const std::string pgpass = folder_ + "/pgpass";
  std::ofstream(pgpass) << "127.0.0.1:" << port_ << ":*:" << kUser << ":" << kPassword << '\n';
  std::filesystem::permissions(pgpass, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  setenv("PGPASSFILE", pgpass.c_str(), 1);
  Start();
}

PgServer::~PgServer() {
  Stop();
  if (!folder_.empty()) std::filesystem::remove_all(folder_);
}

bool PgServer::Start() {
  running_ = As(Bin() + "/pg_ctl -D " + folder_ + "/data -l " + folder_ + "/server.log -w -t 60 -o \"-p " +
                std::to_string(port_) + " -k " + folder_ +
                " -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=40\" start >/dev/null");
  return running_;
}

bool PgServer::Stop() {
  if (!running_) return true;
  running_ = !As(Bin() + "/pg_ctl -D " + folder_ + "/data -m fast -w stop >/dev/null");
  return !running_;
}

std::string PgServer::Url(const std::string& db) const {
  return "postgresql://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(port_) + "/" + db;
}

bool PgServer::As(const std::string& command) const {
  return std::system(((geteuid() == 0 ? "runuser -u nobody -- " : "") + command).c_str()) == 0;
}

}  // namespace lumbra::testing
