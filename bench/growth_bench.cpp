// growth_bench: HotSyncs whose cost could grow faster than their work, each timed (or its
// peak memory measured) at two sizes through the stand-in installation and the built conduit:
//   signatures  a session of 1,000 and of 3,000 records, each with a signature saved as a
//               bitmap file;
//   append      100 signatures with AppendOutput into a Signatures folder already holding
//               3,000 files of earlier HotSyncs of the same hour, and into an empty one;
//   upload      the peak memory of a data upload file of exactly 65,535 lines (as many as a
//               handheld database holds) and of one of 170 MB;
//   lists       a lookup-list upload file of 10,000 and of 65,535 lines.
//   growth_bench [--runs R] [--only PART] [--out DIR]
// Reports medians of R runs and the ratios. DIR is the build output folder whose stand-in
// installation and conduit are run (default: this build's). Everything lives in a temporary
// folder that is removed at the end.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/date_time.h"
#include "base/exception.h"
#include "base/format.h"
#include "base/text_file.h"
#include "bench/bench_support.h"
#include "examples/session_builder.h"

namespace fs = std::filesystem;
using namespace qp_demo;

namespace {

const char kUser[] = "Bench User";
const char kUsage[] =
    "usage: growth_bench [--runs R] [--only signatures|append|upload|lists] [--out DIR]\n"
    "Times HotSyncs through the stand-in installation and the built conduit at two sizes\n"
    "each: 1,000 and 3,000 signatures; 100 signatures appended into a Signatures folder\n"
    "empty and holding 3,000 earlier files; the peak memory of a data upload file of\n"
    "65,535 lines and of 170 MB; a lookup-list upload file of 10,000 and 65,535 lines.\n"
    "  --runs R   runs of each figure; the median is reported (default 5)\n"
    "  --only P   only that part\n"
    "  --out DIR  the build output folder to run (default: this build's)\n";
constexpr int kMaxLines = 65535;
constexpr uint64_t kLargeUpload = 170'000'000;

struct Options {
  int runs = 5;
  std::string only;
  std::string out = QP_OUT_DIR;
};

struct Times {
  double wall = 0;
  double cpu = 0;
};

// The CPU time of the finished child processes and those they waited for.
double ChildrenCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

void PrintTimes(const char* what, const Times& t) {
  std::printf("  %-36s %9.1f ms wall, %9.1f ms CPU\n", what, t.wall, t.cpu);
}

void PrintRatio(const char* what, const Times& a, const Times& b) {
  std::printf("  ratio %-30s %9.2f wall, %9.2f CPU\n", what, a.wall / b.wall, a.cpu / b.cpu);
}

// A data upload line: 30 values of 30 characters.
std::string UploadLine(int n) {
  std::string line;
  for (int f = 1; f <= kMaxFields; ++f) {
    if (f > 1) line += '\t';
    std::string value = Format("L%07d-F%02d-", n, f);
    value.resize(30, 'x');
    line += value;
  }
  return line + "\r\n";
}

class GrowthBench {
 public:
  explicit GrowthBench(const Options& o)
      : o_(o), root_(folder_.Path()), hotsync_(root_ + "/hotsync") {
    InstallStandIn(o.out, root_, o.out + "/libQuillorP2_ODBC.so");
  }
  std::string UserFolder() const { return root_ + "/conduit/Data/" + kUser; }
  std::string Signatures() const { return UserFolder() + "/FromPDA/Signatures"; }
  std::string ToPDA() const { return UserFolder() + "/ToPDA"; }

  // A handheld of these sessions, built once under its name.
  std::string Template(const std::string& name, const std::vector<SessionSpec>& sessions) {
    const std::string folder = root_ + "/templates/" + name;
    if (fs::exists(folder)) return folder;
    Handheld hh = Handheld::Create(folder, kUser);
    WriteAppPreference(hh, "bench scanner");
    WriteSessions(hh, sessions);
    return folder;
  }
  // The handheld the HotSyncs run on, a fresh copy of the template.
  std::string Fresh(const std::string& handheldTemplate) {
    const std::string folder = root_ + "/handheld";
    fs::remove_all(folder);
    fs::copy(handheldTemplate, folder, fs::copy_options::recursive);
    return folder;
  }

  void Sync(const std::string& handheld) { Run(hotsync_ + "/hotsync sync " + Quote(handheld)); }
  // Medians of the runs' wall and CPU times of a HotSync, each after prepare (not timed).
  Times SyncMs(const std::string& handheldTemplate, const std::function<void()>& prepare) {
    std::vector<double> wall, cpu;
    for (int i = 0; i < o_.runs; ++i) {
      const std::string handheld = Fresh(handheldTemplate);
      if (prepare) prepare();
      // What the preparation wrote is on the disk before the clock starts, or the HotSync's
      // first fsync would pay for it.
      ::sync();
      const double cpuBefore = ChildrenCpuMs();
      wall.push_back(Milliseconds([&] { Sync(handheld); }));
      cpu.push_back(ChildrenCpuMs() - cpuBefore);
    }
    return {Median(wall), Median(cpu)};
  }
  // Median of the runs' peak memory of a HotSync, in MiB.
  double SyncPeakMiB(const std::string& handheldTemplate) {
    std::vector<double> peaks;
    for (int i = 0; i < o_.runs; ++i)
      peaks.push_back(
          PeakMiB(o_.out, hotsync_ + "/hotsync sync " + Quote(Fresh(handheldTemplate))));
    return Median(peaks);
  }
  // The last HotSync's log lines that contain text.
  std::vector<std::string> LogLines(const std::string& text) const {
    std::vector<std::string> found;
    const std::string log = hotsync_ + "/" + kUser + "/HotSync.log";
    if (!fs::exists(log)) return found;
    for (const std::string& line : ReadTextLines(log))
      if (line.find(text) != std::string::npos) found.push_back(line);
    return found;
  }

 private:
  Options o_;
  // Gone with the benchmark, also when its set-up fails.
  qptest::TempDir folder_;
  std::string root_, hotsync_;
};

// A session in slot 0 whose records each carry a signature in field 2.
SessionSpec SignatureSession(int records, bool append) {
  SessionSpec s;
  s.name = "Signatures";
  s.prefs.outputFormat = kTab;
  s.prefs.appendOutput = append;
  s.prefs.fields = {{"Code"}, {"Sign", kSignatureFieldType}};
  for (int r = 1; r <= records; ++r) {
    s.rows.push_back({Format("C%05d", r)});
    s.signatures[{r, 2}] = MakeSignature(r);
  }
  return s;
}

// A session in slot 0 with an empty data database and a lookup list on field 1.
SessionSpec UploadSession() {
  SessionSpec s;
  s.name = "Upload";
  s.prefs.outputFormat = kTab;
  for (int f = 1; f <= kMaxFields; ++f) s.prefs.fields.push_back({Format("Field %d", f)});
  s.prefs.fields[0].hasLookupList = true;
  s.bitmapDb = false;
  return s;
}

void WriteLines(const std::string& file, uint64_t bytes, int lines,
                const std::function<std::string(int)>& line) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  uint64_t written = 0;
  for (int n = 1; (lines > 0 && n <= lines) || (lines == 0 && written < bytes); ++n) {
    const std::string text = line(n);
    out << text;
    written += text.size();
  }
  if (!out) throw Exception("cannot write " + file);
}

void Signatures(GrowthBench& bench) {
  std::printf("signatures in one session (medians of a HotSync):\n");
  Times times[2];
  const int counts[2] = {1000, 3000};
  for (int k = 0; k < 2; ++k) {
    const std::string hh =
        bench.Template(Format("sign-%d", counts[k]), {SignatureSession(counts[k], false)});
    times[k] = bench.SyncMs(hh, nullptr);
    PrintTimes(Format("%d signatures:", counts[k]).c_str(), times[k]);
  }
  PrintRatio("3,000 / 1,000:", times[1], times[0]);
}

void Append(GrowthBench& bench) {
  std::printf("100 signatures with AppendOutput (medians of a HotSync):\n");
  const std::string hh = bench.Template("append", {SignatureSession(100, true)});
  Times times[2];
  const int earlier[2] = {0, 3000};
  for (int k = 0; k < 2; ++k) {
    times[k] = bench.SyncMs(hh, [&] {
      // The folder as earlier HotSyncs of this hour left it; a fresh output file.
      fs::remove_all(bench.Signatures());
      fs::remove_all(bench.UserFolder() + "/FromPDA/S01_data.txt");
      fs::create_directories(bench.Signatures());
      const std::string prefix = bench.Signatures() + "/S01F02_" + StampYYMMDDHH() + "_";
      for (int n = 1; n <= earlier[k]; ++n)
        std::ofstream(prefix + Format("%.3d", n) + ".bmp") << "BM";
    });
    PrintTimes(Format("into a folder of %d earlier files:", earlier[k]).c_str(), times[k]);
  }
  PrintRatio("3,000 earlier / empty:", times[1], times[0]);
}

void Upload(GrowthBench& bench) {
  std::printf("data upload (median peak memory of a HotSync):\n");
  const std::string hh = bench.Template("upload", {UploadSession()});
  const std::string file = bench.ToPDA() + "/S01_data.txt";
  double peaks[2] = {};
  for (int k = 0; k < 2; ++k) {
    fs::create_directories(bench.ToPDA());
    WriteLines(file, kLargeUpload, k == 0 ? kMaxLines : 0, UploadLine);
    peaks[k] = bench.SyncPeakMiB(hh);
    std::printf("  %s (%.1f MB): %7.1f MiB\n",
                k == 0 ? "65,535 lines       " : "170 MB upload file ",
                static_cast<double>(fs::file_size(file)) / 1e6, peaks[k]);
    for (const std::string& line : bench.LogLines("S01_data.txt"))
      std::printf("    log: %s\n", line.c_str());
  }
  fs::remove(file);
  std::printf("  170 MB above 65,535 lines: %.1f MiB\n", peaks[1] - peaks[0]);
}

void Lists(GrowthBench& bench) {
  std::printf("lookup-list upload (medians of a HotSync):\n");
  const std::string hh = bench.Template("upload", {UploadSession()});
  const std::string file = bench.ToPDA() + "/S01F01.txt";
  Times times[2];
  const int lines[2] = {10000, kMaxLines};
  for (int k = 0; k < 2; ++k) {
    fs::create_directories(bench.ToPDA());
    WriteLines(file, 0, lines[k], [](int n) { return Format("Entry %05d\r\n", n); });
    times[k] = bench.SyncMs(hh, nullptr);
    PrintTimes(Format("%d lines:", lines[k]).c_str(), times[k]);
  }
  fs::remove(file);
  PrintRatio("65,535 / 10,000 lines:", times[1], times[0]);
}

const std::vector<std::pair<std::string, void (*)(GrowthBench&)>> kParts = {
    {"signatures", Signatures}, {"append", Append}, {"upload", Upload}, {"lists", Lists}};

Options ParseOptions(const std::vector<std::string>& args) {
  const CommandLine line(args, {"--runs", "--only", "--out"});
  line.Operands({});
  Options o;
  o.runs = PositiveOption(line, "--runs", o.runs, 1000);
  o.only = line.Value("--only");
  if (!o.only.empty() && std::none_of(kParts.begin(), kParts.end(),
                                      [&](const auto& part) { return part.first == o.only; }))
    throw EUsageError("--only takes signatures, append, upload or lists, not " + o.only);
  o.out = line.Value("--out", o.out);
  return o;
}

void RunBench(const Options& o) {
  GrowthBench bench(o);
  std::printf("median of %d runs, %s\n", o.runs, o.out.c_str());
  for (const auto& [name, part] : kParts)
    if (o.only.empty() || o.only == name) part(bench);
}

}  // namespace

int main(int argc, char** argv) {
  return BenchMain<Options>("growth_bench", kUsage, argc, argv, ParseOptions, RunBench);
}
