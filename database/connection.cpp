#include "database/connection.h"

#include <cstring>

namespace lumbra::database {

namespace {

// libpq's message as one line: its line ends and the server's padding go.
std::string OneLine(const char* message) {
  std::string text;
  bool space = false;
  for (const char* c = message != nullptr ? message : ""; *c != '\0'; ++c) {
    const bool blank = *c == '\n' || *c == '\r' || *c == ' ' || *c == '\t';
    if (blank) {
      space = !text.empty();
      continue;
    }
    if (space) text += ' ';
    space = false;
    text += static_cast<unsigned char>(*c) < 0x20 ? '?' : *c;
  }
  return text;
}

// libpq tells an authentication failure at connection only in its text
// (client side in English; the server's in its lc_messages, English by default).
bool AuthenticationText(const std::string& text) {
  for (const char* mark : {"authentication failed", "no password supplied", "pg_hba.conf",
                           "does not exist", "password", "SCRAM"}) {
    if (text.find(mark) != std::string::npos) return true;
  }
  return false;
}

// libpq's parse errors quote the URL, or some of it, which may hold the
// password: every quoted text goes.
std::string Unquoted(const std::string& text) {
  std::string out;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') {
      out += quoted ? "\"" : "\"...";
      quoted = !quoted;
    } else if (!quoted) {
      out += c;
    }
  }
  return out;
}

}  // namespace

bool UrlValid(const std::string& url, std::string& error) {
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(url.c_str(), &message);
  if (options == nullptr) {
    error = "not a PostgreSQL connection URL: " + Unquoted(OneLine(message));
    PQfreemem(message);
    return false;
  }
  PQconninfoFree(options);
  return true;
}

Connection::Connection(const std::string& url) {
  // The URL comes last, so that what it says wins over these defaults.
  const char* keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                        "fallback_application_name", "dbname", nullptr};
  const char* values[] = {"10", "30", "10", "3", "lumbra-cli", url.c_str(), nullptr};
  std::string error;
  if (!UrlValid(url, error)) {
    failed_ = {Failure::kUrl, error};
    return;
  }
  conn_ = PQconnectdbParams(keys, values, 1);
  if (conn_ == nullptr) {
    failed_ = {Failure::kUnreachable, "the database cannot be reached: out of memory"};
    return;
  }
  const auto text = [](const char* value) { return std::string(value != nullptr ? value : ""); };
  name_ = text(PQuser(conn_)) + "@" + text(PQhost(conn_)) + ":" + text(PQport(conn_)) + "/" + text(PQdb(conn_));
  if (PQstatus(conn_) != CONNECTION_OK) {
    const std::string why = OneLine(PQerrorMessage(conn_));
    failed_ = AuthenticationText(why)
                  ? Problem{Failure::kDenied, "the database " + name_ + " refused the login: " + why}
                  : Problem{Failure::kUnreachable, "the database " + name_ + " cannot be reached: " + why};
    return;
  }
  // Notices (a temporary table that exists already) are not news for a station's stderr.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
  Problem problem;
  Run("SET TIME ZONE 'UTC'", problem);
  if (problem) failed_ = problem;
}

Connection::~Connection() {
  if (conn_ != nullptr) PQfinish(conn_);
}

Result Connection::Run(const std::string& sql, const std::vector<std::optional<std::string>>& params,
                       Problem& problem) {
  std::vector<const char*> values;
  for (const auto& param : params) values.push_back(param ? param->c_str() : nullptr);
  Result result(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                             nullptr, nullptr, 0));
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_COPY_IN) return result;
  problem = ProblemOf(result.get(), "");
  return nullptr;
}

Problem Connection::ProblemOf(const PGresult* result, const std::string& doing) const {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const std::string code = state != nullptr ? state : "";
  std::string why = OneLine(result != nullptr ? PQresultErrorMessage(result) : "");
  if (why.empty()) why = OneLine(PQerrorMessage(conn_));
  const std::string what = "the database " + name_ + (doing.empty() ? "" : " (" + doing + ")");
  if (PQstatus(conn_) != CONNECTION_OK || code.starts_with("08") || code.starts_with("57P")) {
    return {Failure::kUnreachable, what + ": the connection was lost: " + why};
  }
  if (code.starts_with("28") || code == "42501") return {Failure::kDenied, what + " refused: " + why};
  return {Failure::kRefused, what + " refused: " + why};
}

}  // namespace lumbra::database
