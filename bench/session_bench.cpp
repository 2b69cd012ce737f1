// session_bench: times a full HotSync of a large handheld through the stand-in installation
// and the built conduit, against a baseline that does the same work with a plain program:
// plain_convert turns each session's data database file straight into the download file, in
// the tab-delimited and in the XML layout. Then measures the peak memory of HotSyncs of 20,000
// and 200,000 records and of one with a large print-format file.
//   session_bench [--records N] [--sessions S] [--runs R] [--out DIR] [--no-memory]
// Reports the medians of R interleaved pairs (wall and CPU time) and of the pairs' ratios.
// Everything lives in a temporary folder that is removed at the end.

#include <sys/resource.h>

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

const char kUser[] = "Bench User";
constexpr int kFields = 10;
const char kUsage[] =
    "usage: session_bench [--records N] [--sessions S] [--runs R] [--out DIR] [--no-memory]\n"
    "Times a full HotSync of a handheld of tab-delimited sessions, and of one of XML sessions,\n"
    "through the stand-in installation and the built conduit against the same download done\n"
    "by a plain program, and measures the peak memory of HotSyncs of 20,000 and 200,000 records and of\n"
    "one with a 256 MiB print-format file.\n"
    "  --records N   records of the largest session (default 20000); the others get N/20\n"
    "  --sessions S  sessions, 1 to 32 (default 5)\n"
    "  --runs R      runs of each timing (pairs of the HotSync and the plain program); the\n"
    "                medians are reported (default 15)\n"
    "  --out DIR     the build output folder whose stand-in and conduit to run (default:\n"
    "                this build's)\n"
    "  --no-memory   times only, without the peak memory\n";
// Records and the sessions they are spread over (a session holds at most 65,535).
constexpr int kMemoryRecords[][2] = {{20000, 1}, {200000, 10}, {200000, 4}};
constexpr uint64_t kLargeFormatFile = uint64_t{256} << 20;

struct Options {
  int records = 20000;
  int sessions = 5;
  int runs = 15;
  std::string out = QP_OUT_DIR;
  bool memory = true;
};

// A session of kFields fields and count records, tab-delimited unless another layout is given.
SessionSpec BenchSession(int slot, int count, int16_t layout = kTab) {
  SessionSpec s;
  s.slot = slot;
  s.name = Format("Bench %d", slot + 1);
  s.prefs.outputFormat = layout;
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
std::vector<SessionSpec> BenchSessions(const Options& o, int16_t layout) {
  std::vector<SessionSpec> sessions;
  for (int k = 0; k < o.sessions; ++k)
    sessions.push_back(
        BenchSession(k, k == 0 ? o.records : std::max(1, o.records / 20), layout));
  return sessions;
}

// The Date attribute's value left out: it is the time of the HotSync.
std::string WithoutDate(std::string text) {
  const std::string attribute = "<Transfer Date=\"";
  for (size_t at = text.find(attribute); at != std::string::npos;
       at = text.find(attribute, at + 1)) {
    const size_t start = at + attribute.size();
    const size_t end = text.find('"', start);
    if (end == std::string::npos) break;
    text.erase(start, end - start);
  }
  return text;
}

// The download layouts timed.
struct Layout {
  const char* name;
  int16_t code;
  const char* extension;
};
constexpr Layout kLayouts[] = {{"tab", kTab, ".txt"}, {"XML", kXml, ".xml"}};

class Bench {
 public:
  explicit Bench(const Options& o)
      : out_(o.out), root_(folder_.Path()), hotsync_(root_ + "/hotsync") {
    InstallStandIn(out_, root_, out_ + "/libQuillorP2_ODBC.so");

    for (const Layout& layout : kLayouts) {
      sessions_.push_back(BenchSessions(o, layout.code));
      handhelds_.push_back(root_ + "/handheld-" + layout.name);
      Handheld hh = Handheld::Create(handhelds_.back(), kUser);
      WriteAppPreference(hh, "bench scanner");
      WriteSessions(hh, sessions_.back());
    }
    // The fixed cost: the same HotSync with an empty session list.
    Handheld empty = Handheld::Create(root_ + "/empty", kUser);
    WriteAppPreference(empty, "bench scanner");
    WriteSessions(empty, {});
  }
  void HotSync(const std::string& handheld) { Run(hotsync_ + "/hotsync sync " + Quote(handheld)); }
  void FullHotSync(size_t layout) { HotSync(handhelds_[layout]); }
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
    return ::PeakMiB(out_, Quote(hotsync_ + "/hotsync") + " sync " + Quote(handheld));
  }

  std::string ConduitOutput(size_t layout, int slot) const {
    return root_ + "/conduit/Data/" + kUser +
           Format("/FromPDA/S%.2d_data%s", slot + 1, kLayouts[layout].extension);
  }
  std::string BaselineOutput(size_t layout, int slot) const {
    return root_ + Format("/baseline/S%.2d_data%s", slot + 1, kLayouts[layout].extension);
  }

  // The same download by a plain program, in one run for all the sessions' data database
  // files (the sessions have the same fields).
  void Baseline(size_t layout) {
    fs::create_directories(root_ + "/baseline");
    const std::vector<SessionSpec>& sessions = sessions_[layout];
    const Handheld hh(handhelds_[layout]);
    std::string names;
    for (const FieldDef& f : sessions.front().prefs.fields) {
      std::string name = f.name;
      // As element names: the bench's names are letters, digits and blanks.
      if (kLayouts[layout].code == kXml) std::replace(name.begin(), name.end(), ' ', '_');
      names += (names.empty() ? "" : "\t") + name;
    }
    const bool xml = kLayouts[layout].code == kXml;
    // The yardstick is this build's, whichever build is timed.
    std::string command = Quote(std::string(QP_OUT_DIR) + "/plain_convert") + (xml ? " --xml " : " ") + Quote(names);
    for (const SessionSpec& s : sessions) {
      if (xml) {
        // The text before the first record; the date is left out of the comparison.
        command += " " + Quote(Format("<?xml version=\"1.0\"  encoding=\"UTF-8\" ?>\r\n"
                                      "<QuillorPlusData>\r\n  <Transfer Date=\"\">\r\n"
                                      "  <UserName>%s</UserName>\r\n"
                                      "  <TotalRecords>%zu</TotalRecords>\r\n",
                                      kUser, s.rows.size()));
      }
      command += " " + Quote(hh.FindDatabase(DataDbName(s.slot))) + " " +
                 Quote(BaselineOutput(layout, s.slot));
    }
    Run(command);
  }

  // Both ways must have produced the same files.
  void Check(size_t layout) const {
    for (const SessionSpec& s : sessions_[layout]) {
      if (WithoutDate(ReadFileBytes(ConduitOutput(layout, s.slot))) !=
          ReadFileBytes(BaselineOutput(layout, s.slot)))
        throw Exception(Format("%s outputs differ for %s", kLayouts[layout].name, s.name.c_str()));
    }
  }

  size_t TotalRecords() const {
    size_t n = 0;
    for (const SessionSpec& s : sessions_.front()) n += s.rows.size();
    return n;
  }

 private:
  std::string out_;
  // Gone with the benchmark, also when its set-up fails.
  qptest::TempDir folder_;
  std::string root_, hotsync_;
  // By layout.
  std::vector<std::string> handhelds_;
  std::vector<std::vector<SessionSpec>> sessions_;
};

double TimeMedian(int runs, const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) times.push_back(Milliseconds(work));
  return Median(times);
}

// The options of the command line; raises EUsageError with what is wrong with it.
Options ParseOptions(const std::vector<std::string>& args) {
  const CommandLine line(args, {"--records", "--sessions", "--runs", "--out"}, {"--no-memory"});
  line.Operands({});
  Options o;
  o.records = PositiveOption(line, "--records", o.records, 65535);
  o.sessions = PositiveOption(line, "--sessions", o.sessions, 32);
  o.runs = PositiveOption(line, "--runs", o.runs);
  o.out = line.Value("--out", o.out);
  o.memory = !line.Has("--no-memory");
  return o;
}

// The CPU time of the finished children so far, in milliseconds.
double ChildrenCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto ms = [](const timeval& t) { return 1000.0 * t.tv_sec + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Wall and CPU time of one command's work.
struct Times {
  double wall, cpu;
};
Times Measure(const std::function<void()>& work) {
  const double cpu = ChildrenCpuMs();
  const double wall = Milliseconds(work);
  return {wall, ChildrenCpuMs() - cpu};
}

void RunBench(const Options& o) {
  Bench bench(o);
  std::printf("%d sessions, %zu records (%d in the largest), %d fields each; medians of %d runs\n",
              o.sessions, bench.TotalRecords(), o.records, kFields, o.runs);
  const double empty = TimeMedian(o.runs, [&] { bench.EmptyHotSync(); });
  std::printf("HotSync without sessions (fixed cost): %9.1f ms\n", empty);
  for (size_t layout = 0; layout < std::size(kLayouts); ++layout) {
    // The full HotSync and the plain converter in turn, so that a change of the machine's
    // speed meets both; the ratios are taken pair by pair.
    std::vector<double> fulls, baselines, fullCpus, baselineCpus, ratios, cpuRatios;
    for (int i = 0; i < o.runs; ++i) {
      const Times full = Measure([&] { bench.FullHotSync(layout); });
      const Times baseline = Measure([&] { bench.Baseline(layout); });
      fulls.push_back(full.wall);
      baselines.push_back(baseline.wall);
      fullCpus.push_back(full.cpu);
      baselineCpus.push_back(baseline.cpu);
      ratios.push_back(full.wall / baseline.wall);
      cpuRatios.push_back(full.cpu / baseline.cpu);
    }
    bench.Check(layout);
    const double full = Median(fulls), baseline = Median(baselines);
    const double perRecord = 1000 / static_cast<double>(bench.TotalRecords());
    std::printf("%-4s layout                          wall ms   CPU ms\n", kLayouts[layout].name);
    std::printf("  full HotSync through the stand-in: %9.1f %8.1f  (%.2f us per record)\n", full,
                Median(fullCpus), full * perRecord);
    std::printf("  plain converter:                   %9.1f %8.1f  (%.2f us per record)\n",
                baseline, Median(baselineCpus), baseline * perRecord);
    std::printf("  ratio full / plain converter:      %9.2f %8.2f  (medians of the pairs' ratios)\n",
                Median(ratios), Median(cpuRatios));
    std::printf("  ratio (full - fixed) / plain:      %9.2f\n", (full - empty) / baseline);
  }

  if (!o.memory) return;
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
