// session_bench: times a full HotSync of a large handheld through the stand-in installation
// and the built conduit, against a baseline that does the same work with a plain program:
// plain_convert turns each session's data database file straight into the tab-delimited file.
// Then measures the peak memory of HotSyncs of 20,000 and 200,000 records and of one with a
// large print-format file.
//   session_bench [--records N] [--sessions S] [--runs R]
// Reports the median of R runs of each, and their ratio. Everything lives in a temporary
// folder that is removed at the end.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/exception.h"
#include "base/format.h"
#include "base/text_file.h"
#include "bench/bench_support.h"
#include "examples/session_builder.h"

namespace fs = std::filesystem;
using namespace qp_demo;

namespace {

const std::string kOut = QP_OUT_DIR;
const char kUser[] = "Bench User";
constexpr int kFields = 10;
const char kUsage[] =
    "usage: session_bench [--records N] [--sessions S] [--runs R]\n"
    "Times a full HotSync of a handheld of tab-delimited sessions through the stand-in\n"
    "installation and the built conduit against the same download done by a plain\n"
    "program, and measures the peak memory of HotSyncs of 20,000 and 200,000 records and of\n"
    "one with a 256 MiB print-format file.\n"
    "  --records N   records of the largest session (default 20000); the others get N/20\n"
    "  --sessions S  sessions, 1 to 32 (default 5)\n"
    "  --runs R      runs of each timing; the median is reported (default 5)\n";
// Records and the sessions they are spread over (a session holds at most 65,535).
constexpr int kMemoryRecords[][2] = {{20000, 1}, {200000, 10}, {200000, 4}};
constexpr uint64_t kLargeFormatFile = uint64_t{256} << 20;

struct Options {
  int records = 20000;
  int sessions = 5;
  int runs = 5;
};

// A tab-delimited session of kFields fields and count records.
SessionSpec BenchSession(int slot, int count) {
  SessionSpec s;
  s.slot = slot;
  s.name = Format("Bench %d", slot + 1);
  s.prefs.outputFormat = kTab;
  s.prefs.fieldNamesAsHeaders = true;
  for (int f = 1; f <= kFields; ++f) s.prefs.fields.push_back({Format("Field %d", f)});
  s.rows.reserve(count);
  for (int r = 0; r < count; ++r) {
    s.rows.push_back({Format("40063813%05d", r % 100000), Format("Item %d of lot %d", r, slot),
                      std::to_string(r % 97), Format("A%d-%02d", r % 9, r % 31), "2026-03-14 08:02",
                      Format("%d.%02d", r % 50, r % 100), "EA", Format("Batch %04d", r % 1000),
                      "OK", Format("Note %d", r)});
  }
  s.bitmapDb = false;
  return s;
}

// Slot 0 holds the large session; the others a twentieth of it each.
std::vector<SessionSpec> BenchSessions(const Options& o) {
  std::vector<SessionSpec> sessions;
  for (int k = 0; k < o.sessions; ++k)
    sessions.push_back(BenchSession(k, k == 0 ? o.records : std::max(1, o.records / 20)));
  return sessions;
}

class Bench {
 public:
  explicit Bench(const Options& o)
      : root_(folder_.Path()), hotsync_(root_ + "/hotsync"), handheld_(root_ + "/handheld") {
    InstallStandIn(kOut, root_, kOut + "/libQuillorP2_ODBC.so");

    sessions_ = BenchSessions(o);
    Handheld hh = Handheld::Create(handheld_, kUser);
    WriteAppPreference(hh, "bench scanner");
    WriteSessions(hh, sessions_);
    // The fixed cost: the same HotSync with an empty session list.
    Handheld empty = Handheld::Create(root_ + "/empty", kUser);
    WriteAppPreference(empty, "bench scanner");
    WriteSessions(empty, {});
  }
  void HotSync(const std::string& handheld) { Run(hotsync_ + "/hotsync sync " + Quote(handheld)); }
  void FullHotSync() { HotSync(handheld_); }
  void EmptyHotSync() { HotSync(root_ + "/empty"); }

  // A handheld of records spread evenly over sessions, built once.
  std::string MemoryHandheld(int records, int sessions) {
    const std::string folder = root_ + Format("/memory-%d-%d", records, sessions);
    if (fs::exists(folder)) return folder;
    Handheld hh = Handheld::Create(folder, kUser);
    WriteAppPreference(hh, "bench scanner");
    std::vector<SessionSpec> specs;
    for (int k = 0; k < sessions; ++k) specs.push_back(BenchSession(k, records / sessions));
    WriteSessions(hh, specs);
    // Where the print format goes.
    PalmDatabase formats;
    formats.name = "QP28-QuillorPlus_Formats";
    formats.type = FourCC("DATA");
    formats.creator = FourCC("QP28");
    hh.SaveDatabase(formats);
    return folder;
  }
  // The print-format file beside the conduit: a file of that size (sparse), or none at 0.
  void PrintFormatFile(uint64_t size) {
    const std::string file = root_ + "/conduit/Data/PrinterData/QuillorP_Format.txt";
    std::error_code ec;
    fs::remove(file, ec);
    if (size == 0) return;
    fs::create_directories(fs::path(file).parent_path());
    { std::ofstream(file) << "FORMAT\r\n"; }
    fs::resize_file(file, size);
  }
  // The peak memory of one HotSync of the handheld, in MiB.
  double PeakMiB(const std::string& handheld) const {
    return ::PeakMiB(kOut, Quote(hotsync_ + "/hotsync") + " sync " + Quote(handheld));
  }

  std::string ConduitOutput(int slot) const {
    return root_ + "/conduit/Data/" + kUser + Format("/FromPDA/S%.2d_data.txt", slot + 1);
  }
  std::string BaselineOutput(int slot) const {
    return root_ + Format("/baseline/S%.2d_data.txt", slot + 1);
  }

  // The same download by a plain program, in one run for all the sessions' data database
  // files (the sessions have the same fields).
  void Baseline() {
    fs::create_directories(root_ + "/baseline");
    const Handheld hh(handheld_);
    std::string header;
    for (const FieldDef& f : sessions_.front().prefs.fields)
      header += (header.empty() ? "" : "\t") + f.name;
    std::string command = Quote(kOut + "/plain_convert") + " " + Quote(header);
    for (const SessionSpec& s : sessions_)
      command += " " + Quote(hh.FindDatabase(DataDbName(s.slot))) + " " +
                 Quote(BaselineOutput(s.slot));
    Run(command);
  }

  // Both ways must have produced the same files.
  void Check() const {
    for (const SessionSpec& s : sessions_) {
      if (ReadFileBytes(ConduitOutput(s.slot)) != ReadFileBytes(BaselineOutput(s.slot)))
        throw Exception("outputs differ for " + s.name);
    }
  }

  size_t TotalRecords() const {
    size_t n = 0;
    for (const SessionSpec& s : sessions_) n += s.rows.size();
    return n;
  }

 private:
  // Gone with the benchmark, also when its set-up fails.
  qptest::TempDir folder_;
  std::string root_, hotsync_, handheld_;
  std::vector<SessionSpec> sessions_;
};

double TimeMedian(int runs, const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) times.push_back(Milliseconds(work));
  return Median(times);
}

// The options of the command line; raises EUsageError with what is wrong with it.
Options ParseOptions(const std::vector<std::string>& args) {
  const CommandLine line(args, {"--records", "--sessions", "--runs"});
  line.Operands({});
  Options o;
  o.records = PositiveOption(line, "--records", o.records, 65535);
  o.sessions = PositiveOption(line, "--sessions", o.sessions, 32);
  o.runs = PositiveOption(line, "--runs", o.runs);
  return o;
}

void RunBench(const Options& o) {
  Bench bench(o);
  std::printf("%d sessions, %zu records (%d in the largest), %d fields each; median of %d runs\n",
              o.sessions, bench.TotalRecords(), o.records, kFields, o.runs);
  const double empty = TimeMedian(o.runs, [&] { bench.EmptyHotSync(); });
  // The full HotSync and the plain converter in turn, so that a change of the machine's
  // speed meets both; the ratio is taken pair by pair.
  std::vector<double> fulls, baselines, ratios;
  for (int i = 0; i < o.runs; ++i) {
    fulls.push_back(Milliseconds([&] { bench.FullHotSync(); }));
    baselines.push_back(Milliseconds([&] { bench.Baseline(); }));
    ratios.push_back(fulls.back() / baselines.back());
  }
  const double full = Median(fulls), baseline = Median(baselines);
  bench.Check();
  std::printf("HotSync without sessions (fixed cost): %9.1f ms\n", empty);
  std::printf("full HotSync through the stand-in:     %9.1f ms  (%.2f us per record)\n", full,
              1000 * full / static_cast<double>(bench.TotalRecords()));
  std::printf("plain converter:                       %9.1f ms  (%.2f us per record)\n", baseline,
              1000 * baseline / static_cast<double>(bench.TotalRecords()));
  std::printf("ratio full / plain converter:          %9.2f  (median of the pairs' ratios)\n",
              Median(ratios));
  std::printf("ratio (full - fixed) / plain converter:%9.2f\n", (full - empty) / baseline);

  std::printf("peak memory of a HotSync (median of %d):\n", o.runs);
  auto peak = [&](const std::string& handheld) {
    std::vector<double> peaks;
    for (int i = 0; i < o.runs; ++i) peaks.push_back(bench.PeakMiB(handheld));
    return Median(peaks);
  };
  for (const auto& [records, sessions] : kMemoryRecords) {
    const std::string handheld = bench.MemoryHandheld(records, sessions);
    std::printf("  %7d records in %2d session%s:      %9.1f MiB\n", records, sessions,
                sessions == 1 ? " " : "s", peak(handheld));
  }
  const auto& [records, sessions] = kMemoryRecords[0];
  bench.PrintFormatFile(kLargeFormatFile);
  std::printf("  %7d records, %3llu MiB print format: %7.1f MiB\n", records,
              static_cast<unsigned long long>(kLargeFormatFile >> 20),
              peak(bench.MemoryHandheld(records, sessions)));
  bench.PrintFormatFile(0);
}

}  // namespace

int main(int argc, char** argv) {
  return BenchMain<Options>("session_bench", kUsage, argc, argv, ParseOptions, RunBench);
}
