// A connection to the line's PostgreSQL database (libpq), and the failures
// a command tells apart by its exit code. The URL is libpq's
// (postgresql://user@host:port/db?sslmode=require, or key=value words); the
// password comes from PGPASSFILE, ~/.pgpass or PGPASSWORD, never from us.
// Every text here names the database as user@host:port/db, never with a
// password. One connection serves one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <libpq-fe.h>

namespace lumbra::database {

enum class Failure {
  kNone,
  kUrl,          // the URL is malformed
  kUnreachable,  // no server answers there, or the connection was lost
  kDenied,       // authentication failed, or the role may not do this
  kRefused,      // the server refused a statement for another reason
};

struct Problem {
  Failure failure = Failure::kNone;
  std::string text;  // one sentence, naming the database, without a password
  explicit operator bool() const { return failure != Failure::kNone; }
};

// Whether `url` is a connection string libpq reads; `error` says why not.
bool UrlValid(const std::string& url, std::string& error);

// A statement's answer; frees itself.
struct ResultFree {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

class Connection {
 public:
  // Connects at once, with a 10 s time-out unless the URL sets one, and
  // sets the session's time zone to UTC (the records' times are UTC).
  explicit Connection(const std::string& url);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Empty when connected; else why not.
  const Problem& Failed() const { return failed_; }
  bool Ok() const { return !failed_ && PQstatus(conn_) == CONNECTION_OK; }
  // "user@host:port/db".
  const std::string& Name() const { return name_; }
  PGconn* Raw() { return conn_; }

  // Runs `sql` with text parameters (nullopt: SQL NULL). On failure the
  // result is empty and `problem` says why.
  Result Run(const std::string& sql, const std::vector<std::optional<std::string>>& params,
             Problem& problem);
  Result Run(const std::string& sql, Problem& problem) { return Run(sql, {}, problem); }
  // The problem a failed result or a lost connection makes.
  Problem ProblemOf(const PGresult* result, const std::string& doing) const;

 private:
  PGconn* conn_ = nullptr;
  std::string name_;
  Problem failed_;
};

}  // namespace lumbra::database
