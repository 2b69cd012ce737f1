// odbc_bench: times the ODBC part of real HotSyncs (a session's records written into a table
// through the built conduit and the stand-in installation) against the database's own bulk
// path for the same rows: `sqlite3 .import` and `psql \copy`. See README.md.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/format.h"
#include "base/text_file.h"
#include "bench/bench_support.h"
#include "database/testdata/odbc_test_support.h"
#include "examples/session_builder.h"
#include "platform/atomic_file.h"

namespace fs = std::filesystem;
using db::test::OdbcTestConfig;
using namespace qp_demo;

namespace {

const std::string kOut = QP_OUT_DIR;
const char kUser[] = "Bench User";
constexpr int kFields = 10;
// A handheld database holds at most 65,535 records: larger downloads are split over
// sessions that write one table, all but the first appending.
constexpr int kRecordsPerSession = 50000;

const char kUsage[] =
    "usage: odbc_bench [--records N[,N...]] [--runs R] [--only sqlite|postgres]\n"
    "                  [--conduit NAME=LIBRARY]...\n"
    "  Times HotSyncs that download N records of 10 fields into an ODBC table, with the\n"
    "  ODBC session enabled and disabled, against sqlite3 .import and psql \\copy of the\n"
    "  same rows; reports medians of R runs and the ratios. PostgreSQL is used when\n"
    "  QP_PG_DSN_CONFIG names its data source (scripts/services.sh start_postgres\n"
    "  durable); a server that does not flush its commits is refused.\n"
    "  Each --conduit times that conduit library under its name, side by side with the\n"
    "  others. Defaults: --records 10000,100000 --runs 5, the built conduit library.\n";

struct Options {
  std::vector<int> records{10000, 100000};
  int runs = 5;
  bool sqlite = true;
  bool postgres = true;
  // The conduit libraries to time, side by side, and their names in the report.
  std::vector<std::string> conduits{kOut + "/libQuillorP2_ODBC.so"};
  std::vector<std::string> labels{"built"};
};

// Empty when the arguments are good, else what is wrong with them.
std::string ParseOptions(int argc, char** argv, Options& o) {
  auto number = [](const std::string& text, int* value) {
    char* end = nullptr;
    const long n = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || n <= 0 || n > 10000000) return false;
    *value = static_cast<int>(n);
    return true;
  };
  bool conduitGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg != "--records" && arg != "--runs" && arg != "--only" && arg != "--conduit")
      return "unknown option '" + arg + "'";
    if (i + 1 >= argc) return "missing value after " + arg;
    const std::string value = argv[++i];
    if (arg == "--records") {
      o.records.clear();
      std::stringstream list(value);
      std::string item;
      while (std::getline(list, item, ',')) {
        int n = 0;
        if (!number(item, &n)) return "bad record count '" + item + "'";
        o.records.push_back(n);
      }
      if (o.records.empty()) return "no record count";
    } else if (arg == "--runs") {
      if (!number(value, &o.runs)) return "bad run count '" + value + "'";
    } else if (arg == "--only") {
      if (value != "sqlite" && value != "postgres") return "unknown database '" + value + "'";
      o.sqlite = value == "sqlite";
      o.postgres = value == "postgres";
    } else if (arg == "--conduit") {
      const size_t eq = value.find('=');
      if (eq == 0 || eq == std::string::npos || !fs::is_regular_file(value.substr(eq + 1)))
        return "--conduit wants NAME=LIBRARY, an existing file, not '" + value + "'";
      if (!conduitGiven) o.conduits.clear(), o.labels.clear();
      conduitGiven = true;
      o.labels.push_back(value.substr(0, eq));
      o.conduits.push_back(value.substr(eq + 1));
    }
  }
  return std::string();
}

std::string LoadAverage() {
  std::string text = ReadFileBytes("/proc/loadavg");
  return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

// The server's own client, not the wrapper on PATH that starts it: the bulk path is timed
// without the wrapper's start-up.
std::string PsqlProgram() {
  std::string best;
  std::error_code ec;
  for (const auto& version : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const std::string candidate = (version.path() / "bin/psql").string();
    if (fs::exists(candidate, ec) && candidate > best) best = candidate;
  }
  return best.empty() ? "psql" : best;
}

// The server's fsync and synchronous_commit settings, as "on on" when both are on.
std::string DurabilitySettings(const std::string& psql) {
  const std::string command = psql + " -t -A -c 'SHOW fsync' -c 'SHOW synchronous_commit'";
  FILE* p = popen(command.c_str(), "r");
  if (!p) throw Exception("failed: " + command);
  std::string text;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, p)) text += buffer;
  if (pclose(p) != 0) throw Exception("failed: " + command);
  std::istringstream lines(text);
  std::string fsync, commit;
  std::getline(lines, fsync);
  std::getline(lines, commit);
  return fsync + " " + commit;
}

std::vector<std::string> BenchRow(int r) {
  return {Format("40063813%05d", r % 100000),
          Format("Item %d of lot %d", r, r % 7),
          std::to_string(r % 97),
          Format("A%d-%02d", r % 9, r % 31),
          "2026-03-14 08:02",
          Format("%d.%02d", r % 50, r % 100),
          "EA",
          Format("Batch %04d", r % 1000),
          "OK",
          Format("Note %d", r)};
}

// One database reached both through ODBC and through its own command-line client.
struct Backend {
  std::string name;
  std::string dsn;
  std::string user, password;
  // The client command that runs the statements in order.
  std::function<std::string(const std::vector<std::string>&)> client;
  // The client's statement that loads a tab-separated file into a table.
  std::function<std::string(const std::string& file, const std::string& table)> bulkLoad;
};

class Bench {
 public:
  explicit Bench(const Options& o)
      : options_(o),
        root_(folder_.Path()),
        handheld_(root_ + "/handheld"),
        rowsFile_(root_ + "/rows.tsv") {
    // One HotSync installation per conduit library, each with its own registry (which names
    // the installation whose libraries the conduit loads) and its own settings file.
    for (size_t c = 0; c < o.conduits.size(); ++c) {
      const std::string folder = root_ + Format("/%zu", c);
      InstallStandIn(kOut, folder, o.conduits[c]);
      installations_.push_back(folder);
    }
  }

  // A handheld whose sessions hold the records, and the same rows as a tab-separated file.
  void MakeHandheld(int records) {
    records_ = records;
    sessions_ = (records + kRecordsPerSession - 1) / kRecordsPerSession;
    std::vector<SessionSpec> sessions;
    std::string rows;
    for (int k = 0, first = 0; k < sessions_; ++k) {
      const int last = records * (k + 1) / sessions_;
      SessionSpec s;
      s.slot = k;
      s.name = Format("Bench %d", k + 1);
      s.prefs.outputFormat = kTab;
      s.prefs.appendOutput = k > 0;
      for (int f = 1; f <= kFields; ++f) s.prefs.fields.push_back({Format("Field %d", f)});
      for (int r = first; r < last; ++r) {
        s.rows.push_back(BenchRow(r));
        for (int f = 0; f < kFields; ++f)
          rows += s.rows.back()[f] + (f + 1 < kFields ? "\t" : "\n");
      }
      s.bitmapDb = false;
      sessions.push_back(std::move(s));
      first = last;
    }
    fs::remove_all(handheld_);
    Handheld hh = Handheld::Create(handheld_, kUser);
    WriteAppPreference(hh, "bench scanner");
    WriteSessions(hh, sessions);
    platform::WriteFileAtomically(rowsFile_, rows);
  }

  // Every session writes into the table `table` of the backend, or takes no part.
  void WriteSettings(size_t c, const Backend& b, const std::string& table, bool enabled) {
    std::string ini;
    for (int k = 0; k < sessions_; ++k) {
      ini += Format("[Session%.2d]\r\n", k + 1) + "DSN=" + b.dsn + "\r\nUsername=" + b.user +
             "\r\nPassword=" + b.password + "\r\nTablename=" + table +
             "\r\nEnabled=" + (enabled ? "True" : "False") + "\r\n";
      for (int f = 1; f <= kFields; ++f) ini += Format("Field%d=f%d\r\n", f, f);
    }
    platform::WriteFileAtomically(installations_[c] + "/conduit/QuillorP2_ODBC.ini", ini);
  }

  void HotSync(size_t c) {
    const std::string log = root_ + "/hotsync.log";
    setenv("REGISTRY_FILE", (installations_[c] + "/registry").c_str(), 1);
    Run(installations_[c] + "/hotsync/hotsync sync " + Quote(handheld_), log);
    const std::string text = ReadFileBytes(log);
    const size_t failure = text.find("Failure");
    if (failure != std::string::npos)
      throw Exception("the HotSync logged: " + text.substr(failure, 400));
  }

  void Measure(const Backend& b) {
    const std::string table = db::test::UniqueTableName("bench_rows");
    const std::string bulkTable = db::test::UniqueTableName("bulk_rows");
    std::string columns;
    for (int f = 1; f <= kFields; ++f) columns += Format("%sf%d VARCHAR(40)", f > 1 ? ", " : "", f);
    for (const std::string& t : {table, bulkTable}) {
      Run(b.client({"DROP TABLE IF EXISTS " + t, "CREATE TABLE " + t + " (" + columns + ")"}));
    }
    const std::string bulk =
        b.client({"DELETE FROM " + bulkTable, b.bulkLoad(rowsFile_, bulkTable)});
    // Each run times every conduit without and with ODBC, then the bulk path.
    const size_t n = installations_.size();
    std::vector<std::vector<double>> off(n), on(n);
    std::vector<double> bulkTimes;
    for (int i = 0; i < options_.runs; ++i) {
      for (size_t c = 0; c < n; ++c) {
        WriteSettings(c, b, table, false);
        off[c].push_back(Milliseconds([&] { HotSync(c); }));
        WriteSettings(c, b, table, true);
        on[c].push_back(Milliseconds([&] { HotSync(c); }));
        CheckSameRows(b, table, bulkTable, i == 0);
      }
      bulkTimes.push_back(Milliseconds([&] { Run(bulk); }));
    }
    for (const std::string& t : {table, bulkTable}) Run(b.client({"DROP TABLE " + t}));

    const double bulkMs = Median(bulkTimes);
    std::printf("%s, %d records: bulk path %.1f ms\n", b.name.c_str(), records_, bulkMs);
    for (size_t c = 0; c < n; ++c) {
      const double odbc = Median(on[c]) - Median(off[c]);
      std::printf(
          "  %-12s HotSync %8.1f ms without ODBC, %8.1f ms with: ODBC part %8.1f ms"
          " (%6.2f us a record), ratio to bulk %6.2f\n",
          options_.labels[c].c_str(), Median(off[c]), Median(on[c]), odbc, 1000 * odbc / records_,
          odbc / bulkMs);
    }
    std::fflush(stdout);
  }

 private:
  // The ODBC table holds the rows (those of the bulk table, once that has been loaded).
  void CheckSameRows(const Backend& b, const std::string& table, const std::string& bulkTable,
                     bool countOnly) {
    std::string list;
    for (int f = 1; f <= kFields; ++f) list += Format("%sf%d", f > 1 ? ", " : "", f);
    auto count = [&](const std::string& sql) {
      auto rows = db::test::QueryRows(b.dsn, sql);
      return rows.size() == 1 && rows[0].size() == 1 && rows[0][0] ? *rows[0][0] : "?";
    };
    const std::string n = count("SELECT COUNT(*) FROM " + table);
    const std::string differ =
        countOnly ? "0"
                  : count("SELECT COUNT(*) FROM (SELECT " + list + " FROM " + table +
                          " EXCEPT SELECT " + list + " FROM " + bulkTable + ") d");
    if (n != std::to_string(records_) || differ != "0")
      throw Exception("the ODBC table holds " + n + " rows, " + differ +
                      " of them not in the bulk-loaded table");
  }

  Options options_;
  // Gone with the benchmark, also when its set-up fails.
  qptest::TempDir folder_;
  std::string root_, handheld_, rowsFile_;
  std::vector<std::string> installations_;
  int records_ = 0;
  int sessions_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options o;
  const std::string wrong = ParseOptions(argc, argv, o);
  if (!wrong.empty()) {
    std::fprintf(stderr, "odbc_bench: %s (try --help)\n", wrong.c_str());
    return 2;
  }
  try {
    const OdbcTestConfig& config = OdbcTestConfig::Get();
    std::vector<Backend> backends;
    if (o.sqlite) {
      if (!config.HasSqlite()) throw Exception("the SQLite ODBC driver is not installed");
      const std::string file = config.SqliteFile();
      backends.push_back({"SQLite", OdbcTestConfig::kSqliteDsn, "", "",
                          [file](const std::vector<std::string>& sql) {
                            std::string command = "sqlite3 -batch -cmd '.mode tabs' " + Quote(file);
                            for (const std::string& s : sql) command += " " + Quote(s);
                            return command;
                          },
                          [](const std::string& file, const std::string& table) {
                            return ".import " + file + " " + table;
                          }});
    }
    if (o.postgres) {
      const auto section = config.HasPostgres() ? db::test::IniSection(getenv("QP_PG_DSN_CONFIG"),
                                                                       OdbcTestConfig::kPostgresDsn)
                                                : std::nullopt;
      if (!section) {
        std::printf("PostgreSQL skipped: %s\n", config.PostgresNote().c_str());
      } else {
        auto key = [&](const std::string& name) {
          std::istringstream lines(*section);
          std::string line;
          while (std::getline(lines, line)) {
            const size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string k = line.substr(0, eq), v = line.substr(eq + 1);
            k.erase(k.find_last_not_of(' ') + 1);
            v.erase(0, v.find_first_not_of(' '));
            if (k == name) return v;
          }
          return std::string();
        };
        const std::string user = key("Username"), password = key("Password");
        setenv("PGPASSWORD", password.c_str(), 1);
        const std::string psql = PsqlProgram() + " -X -q -v ON_ERROR_STOP=1 -h " +
                                 key("Servername") + " -p " + key("Port") + " -U " + Quote(user) +
                                 " -d " + Quote(key("Database"));
        // A server that does not flush its commits is not what a user's server is, and its
        // figures are not those a user sees.
        const std::string settings = DurabilitySettings(psql);
        if (settings != "on on")
          throw Exception("the PostgreSQL server does not flush its commits (fsync and "
                          "synchronous_commit: " + settings + "); start it with start_postgres "
                          "durable");
        std::printf("PostgreSQL flushes its commits (fsync on, synchronous_commit on)\n");
        backends.push_back({"Postgres", OdbcTestConfig::kPostgresDsn, user, password,
                            [psql](const std::vector<std::string>& sql) {
                              std::string command = psql;
                              for (const std::string& s : sql) command += " -c " + Quote(s);
                              return command;
                            },
                            [](const std::string& file, const std::string& table) {
                              return "\\copy " + table + " FROM '" + file + "'";
                            }});
      }
    }
    std::printf("median of %d runs; load average before: %s\n", o.runs, LoadAverage().c_str());
    Bench bench(o);
    for (int records : o.records) {
      bench.MakeHandheld(records);
      for (const Backend& b : backends) bench.Measure(b);
    }
    std::printf("load average after: %s\n", LoadAverage().c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "odbc_bench: %s\n", e.what());
    return 1;
  }
}
