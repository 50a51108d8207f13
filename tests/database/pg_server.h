// A PostgreSQL 15 server of the test's own: initdb in a temporary folder, run
// as `nobody` when the test runs as root (CI does), on a free loopback port
// with its socket in that folder, logins by password (scram-sha-256) over
// TCP, the password in a PGPASSFILE set for the process. Stopped and its
// folder removed when destroyed, whatever the test did.
#pragma once

#include <string>

namespace lumbra::testing {

class PgServer {
 public:
  static constexpr const char* kUser = "lumbra";
  static constexpr const char* kPassword = "line-3-secret";

  // Whether initdb, pg_ctl and postgres are installed (LUMBRA_PG_BIN or
  // Debian's /usr/lib/postgresql/15/bin).
  static bool Installed();

  PgServer();  // made and started; Running() says whether it worked
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  bool Start();
  bool Stop();
  bool Running() const { return running_; }
  int Port() const { return port_; }
  // postgresql://lumbra@127.0.0.1:PORT/DB (the password from PGPASSFILE).
  std::string Url(const std::string& db) const;

 private:
  bool As(const std::string& command) const;  // as the server's user; true on exit 0

  std::string folder_;
  int port_ = 0;
  bool running_ = false;
};

}  // namespace lumbra::testing
