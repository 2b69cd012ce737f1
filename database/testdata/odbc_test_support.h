#pragma once
// ODBC set-up for tests: a private configuration folder (odbcinst.ini and odbc.ini) that the
// driver manager is pointed at through ODBCSYSINI and ODBCINI, so no test reads or changes
// the machine's own data sources.
//
// Data sources:
// - "qp_sqlite": the SQLite ODBC driver on a database file in the folder, always there;
// - "qp_pg": PostgreSQL through its ODBC driver, only when QP_PG_DSN_CONFIG names an odbc.ini
//   whose [qp_pg] section describes a running server (scripts/services.sh start_postgres
//   writes one). Its keys are copied as they stand.
// - "qp_maria": MariaDB through its Connector/ODBC, likewise from the [qp_maria] section of
//   the odbc.ini that QP_MARIADB_DSN_CONFIG names (scripts/services.sh start_mariadb), and
//   "qp_maria_nonstrict" and "qp_maria_brief", the same with the server's strict mode off
//   and with a connection ended after a second without a statement.

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "database/odbc_handles.h"

namespace db::test {

inline std::string FindDriver(const char* fileName) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const auto& lib : fs::directory_iterator("/usr/lib", ec)) {
    fs::path candidate = lib.path() / "odbc" / fileName;
    if (fs::exists(candidate, ec)) return candidate.string();
  }
  return std::string();
}

// The lines of section [name] of an INI file (without the section line); nullopt when the
// file or the section is missing.
inline std::optional<std::string> IniSection(const std::string& file, const std::string& name) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::string line, body;
  bool inside = false, found = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inside = line == "[" + name + "]";
      found = found || inside;
      continue;
    }
    if (inside) body += line + "\n";
  }
  if (!found) return std::nullopt;
  return body;
}

class OdbcTestConfig {
 public:
  static constexpr const char* kSqliteDsn = "qp_sqlite";
  static constexpr const char* kPostgresDsn = "qp_pg";
  static constexpr const char* kMariaDbDsn = "qp_maria";
  // The same server without strict mode, as many installations run: it cuts values with
  // only a warning.
  static constexpr const char* kMariaDbNonStrictDsn = "qp_maria_nonstrict";
  // The same server, ending a connection that is idle for a second.
  static constexpr const char* kMariaDbBriefDsn = "qp_maria_brief";

  // Written once per process, before the first connection.
  static const OdbcTestConfig& Get() {
    static OdbcTestConfig config;
    return config;
  }

  const std::string& Folder() const { return folder_; }
  const std::string& SqliteFile() const { return sqliteFile_; }
  bool HasSqlite() const { return !sqliteDriver_.empty(); }
  bool HasPostgres() const { return hasPostgres_; }
  // Why PostgreSQL is not there, for the skip message.
  const std::string& PostgresNote() const { return postgresNote_; }
  bool HasMariaDb() const { return hasMariaDb_; }
  const std::string& MariaDbNote() const { return mariaDbNote_; }

  OdbcTestConfig(const OdbcTestConfig&) = delete;
  OdbcTestConfig& operator=(const OdbcTestConfig&) = delete;
  ~OdbcTestConfig() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

 private:
  OdbcTestConfig() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qp-odbc-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw Exception("mkdtemp failed");
    folder_ = pattern;
    sqliteFile_ = folder_ + "/sqlite.db";
    sqliteDriver_ = FindDriver("libsqlite3odbc.so");

    std::ostringstream inst, dsn;
    inst << "[SQLite3]\nDescription = SQLite 3\nDriver = " << sqliteDriver_ << "\n";
    dsn << "[" << kSqliteDsn << "]\nDriver = SQLite3\nDatabase = " << sqliteFile_
        << "\nTimeout = 5000\n";
    // A server's data source, copied from the odbc.ini the variable names.
    auto server = [&](const char* variable, const char* name, const char* starter,
                      std::string* note) -> std::optional<std::string> {
      const char* file = getenv(variable);
      if (!file || !*file) {
        *note = std::string(variable) + " is not set (scripts/services.sh " + starter + " sets it)";
        return std::nullopt;
      }
      auto section = IniSection(file, name);
      if (section) {
        dsn << "\n[" << name << "]\n" << *section;
      } else {
        *note = std::string("no [") + name + "] section in " + file;
      }
      return section;
    };
    hasPostgres_ =
        server("QP_PG_DSN_CONFIG", kPostgresDsn, "start_postgres", &postgresNote_).has_value();
    if (auto maria = server("QP_MARIADB_DSN_CONFIG", kMariaDbDsn, "start_mariadb", &mariaDbNote_)) {
      hasMariaDb_ = true;
      dsn << "\n[" << kMariaDbNonStrictDsn << "]\n"
          << *maria << "InitStmt = SET SESSION sql_mode = ''\n";
      dsn << "\n[" << kMariaDbBriefDsn << "]\n"
          << *maria << "InitStmt = SET SESSION wait_timeout = 1\n";
    }
    std::ofstream(folder_ + "/odbcinst.ini") << inst.str();
    std::ofstream(folder_ + "/odbc.ini") << dsn.str();
    std::ofstream(folder_ + "/user-odbc.ini") << "";
    setenv("ODBCSYSINI", folder_.c_str(), 1);
    setenv("ODBCINI", (folder_ + "/user-odbc.ini").c_str(), 1);
    // Drivers stay loaded, so that the leak checker can still name them at exit.
    if (!sqliteDriver_.empty()) dlopen(sqliteDriver_.c_str(), RTLD_NOW | RTLD_NODELETE);
    for (const auto& [wanted, driver] :
         {std::pair{hasPostgres_, "psqlodbcw.so"}, std::pair{hasMariaDb_, "libmaodbc.so"}}) {
      const std::string path = wanted ? FindDriver(driver) : std::string();
      if (!path.empty()) dlopen(path.c_str(), RTLD_NOW | RTLD_NODELETE);
    }
  }

  std::string folder_;
  std::string sqliteFile_;
  std::string sqliteDriver_;
  bool hasPostgres_ = false;
  std::string postgresNote_;
  bool hasMariaDb_ = false;
  std::string mariaDbNote_;
};

// A query's rows for checks: every value as its bytes (binary columns raw, character
// columns fetched as wide characters and given here as UTF-8, others as the driver's text),
// nullopt for NULL.
using Row = std::vector<std::optional<std::string>>;

inline std::string Utf8FromUtf16(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t c = 0;
    SQLWCHAR unit = 0;
    std::memcpy(&unit, bytes.data() + i, 2);
    c = unit;
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
      SQLWCHAR low = 0;
      std::memcpy(&low, bytes.data() + i + 2, 2);
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00u);
      i += 2;
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

inline std::vector<Row> QueryRows(const std::string& dsn, const std::string& sql) {
  OdbcEnvironment env;
  OdbcConnection connection(env);
  connection.Connect(dsn, "", "");
  OdbcStatement statement(connection);
  statement.Check(
      SQLExecDirect(statement.Get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                    static_cast<SQLINTEGER>(sql.size())),
      sql);
  SQLSMALLINT count = 0;
  statement.Check(SQLNumResultCols(statement.Get(), &count), sql);
  std::vector<SQLSMALLINT> types(count);
  for (SQLUSMALLINT i = 1; i <= count; ++i) {
    SQLCHAR name[256];
    SQLSMALLINT length = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    statement.Check(SQLDescribeCol(statement.Get(), i, name, sizeof(name), &length, &types[i - 1],
                                   &size, &digits, &nullable),
                    sql);
  }
  std::vector<Row> rows;
  for (;;) {
    SQLRETURN rc = SQLFetch(statement.Get());
    if (rc == SQL_NO_DATA) break;
    statement.Check(rc, sql);
    Row row;
    for (SQLUSMALLINT i = 1; i <= count; ++i) {
      const SQLSMALLINT t = types[i - 1];
      const bool binary = t == SQL_BINARY || t == SQL_VARBINARY || t == SQL_LONGVARBINARY;
      const bool wide = t == SQL_CHAR || t == SQL_VARCHAR || t == SQL_LONGVARCHAR ||
                        t == SQL_WCHAR || t == SQL_WVARCHAR || t == SQL_WLONGVARCHAR;
      const SQLSMALLINT cType = binary ? SQL_C_BINARY : wide ? SQL_C_WCHAR : SQL_C_CHAR;
      std::string value;
      bool isNull = false;
      for (;;) {
        char buffer[4096];
        SQLLEN indicator = 0;
        rc = SQLGetData(statement.Get(), i, cType, buffer, sizeof(buffer), &indicator);
        if (rc == SQL_NO_DATA) break;
        statement.Check(rc, sql);
        if (indicator == SQL_NULL_DATA) {
          isNull = true;
          break;
        }
        size_t room = binary ? sizeof(buffer) : sizeof(buffer) - (wide ? 2 : 1);
        size_t got = indicator == SQL_NO_TOTAL || static_cast<size_t>(indicator) > room
                         ? room
                         : static_cast<size_t>(indicator);
        value.append(buffer, got);
        if (rc == SQL_SUCCESS) break;
      }
      if (isNull) {
        row.push_back(std::nullopt);
      } else {
        row.push_back(wide ? Utf8FromUtf16(value) : value);
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// A table name no other test process uses at the same time on a shared server.
inline std::string UniqueTableName(const std::string& stem) {
  return stem + "_" + std::to_string(getpid());
}

}  // namespace db::test
