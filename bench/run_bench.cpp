// Whole-run benchmark: the estimator in its default configuration (every iteration limit and the
// stage schedule at their defaults) on the 640x480 two-view synthetic scene, once per solver and
// thread count. Prints wall time, processor time, peak memory and the time of each solver phase,
// and checks that the exact solver gives the same bytes for every thread count.
//
// Usage: sceneflow-run-bench [WORK_DIR] [--runs exact:1,exact:2,parallel:2] [--estimator FILE]
// --estimator times another build of the estimator (an earlier version, say) on the same scene.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct RunSpec {
  std::string solver;
  int threads;
};

struct Measurement {
  double wall = 0, cpu = 0, peak_mib = 0;
  std::string phases;  // "name seconds" lines
  bool ok = false;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Runs `argv` in `directory` with extra environment entries; measures it with wait4.
Measurement RunMeasured(const std::vector<std::string>& argv, const fs::path& directory,
                        const std::vector<std::string>& environment) {
  Measurement m;
  std::fflush(stdout);  // the child must not repeat what is still buffered
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(directory.c_str()) != 0) _exit(127);
    for (const std::string& entry : environment) putenv(const_cast<char*>(entry.c_str()));
    if (!freopen("/dev/null", "w", stdout)) _exit(127);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
          usage.ru_stime.tv_usec * 1e-6;
  m.peak_mib = usage.ru_maxrss / 1024.0;
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return m;
}

// The scene's INI without the keys that the default configuration leaves at their defaults.
void WriteDefaultIni(const fs::path& scene, const fs::path& results, const fs::path& ini) {
  std::ifstream in(scene / "scene.ini");
  std::ofstream out(ini);
  const std::vector<std::string> defaulted = {"PyramidLevelsSF", "PyramidLevelsFlow", "PyramidEta",
                                              "MaxIterOuter",    "MaxIterInner",      "MaxIterSOR",
                                              "OmegaSOR",        "LogFile",           "TxtResultsDir",
                                              "SF_U_Final_FileName", "SF_V_Final_FileName",
                                              "SF_W_Final_FileName"};
  std::string line;
  while (std::getline(in, line)) {
    bool skip = false;
    for (const std::string& key : defaulted) skip = skip || line.rfind(key + " ", 0) == 0;
    if (line == "[Global]") {
      out << line << "\nLogFile = " << (results / "run.log").string()
          << "\nTxtResultsDir = " << results.string() << "\n";
      continue;
    }
    if (!skip) out << line << "\n";
  }
}

std::vector<RunSpec> ParseRuns(const std::string& text) {
  std::vector<RunSpec> runs;
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    const size_t colon = item.find(':');
    if (colon == std::string::npos) continue;
    runs.push_back({item.substr(0, colon), std::atoi(item.c_str() + colon + 1)});
  }
  return runs;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path bin_dir = fs::canonical("/proc/self/exe").parent_path();
  fs::path work = bin_dir.parent_path() / "bench-run";
  std::string run_list = "exact:1,exact:2,parallel:2";
  fs::path estimator = bin_dir / "sceneflow";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::printf("Usage: %s [WORK_DIR] [--runs SOLVER:THREADS,...] [--estimator FILE]\n"
                  "Times the estimator's default configuration on the 640x480 two-view scene.\n",
                  argv[0]);
      return 0;
    }
    if (argument == "--runs" && i + 1 < argc) {
      run_list = argv[++i];
    } else if (argument == "--estimator" && i + 1 < argc) {
      estimator = fs::absolute(argv[++i]);
    } else {
      work = argument;
    }
  }
  const fs::path scene = work / "scene";
  if (!fs::exists(scene / "scene.ini")) {
    const Measurement made = RunMeasured(
        {(bin_dir / "sceneflow-synth").string(), scene.string(), "--preset", "bench640"}, ".", {});
    if (!made.ok) {
      std::fprintf(stderr, "Error: could not render the bench640 scene into %s\n", scene.c_str());
      return 1;
    }
  }

  std::printf("%-16s %9s %9s %9s  %s\n", "run", "wall s", "cpu s", "peak MiB", "phases (s)");
  std::string exact_reference;
  for (const RunSpec& run : ParseRuns(run_list)) {
    const std::string name = run.solver + ", " + std::to_string(run.threads) + " thr";
    const fs::path results = fs::absolute(work / ("results-" + run.solver + "-" +
                                                  std::to_string(run.threads)));
    fs::create_directories(results);
    const fs::path ini = results / "run.ini";
    WriteDefaultIni(scene, results, ini);
    const fs::path phases = results / "phases.txt";
    const Measurement m = RunMeasured(
        {estimator.string(), ini.string()}, scene,
        {"SCENEFLOW_SOLVER=" + run.solver, "SCENEFLOW_THREADS=" + std::to_string(run.threads),
         "SCENEFLOW_PHASE_TIMES=" + phases.string()});
    if (!m.ok) {
      std::fprintf(stderr, "Error: the estimator failed in %s (see its log)\n", results.c_str());
      return 1;
    }
    std::string phase_text = ReadFile(phases);
    for (char& c : phase_text) c = c == '\n' ? ' ' : c;
    std::printf("%-16s %9.1f %9.1f %9.0f  %s\n", name.c_str(), m.wall, m.cpu, m.peak_mib,
                phase_text.c_str());
    std::fflush(stdout);
    if (run.solver == "exact") {
      std::string bytes;
      for (const char* file : {"Z0_final.txt", "U_final.txt", "V_final.txt", "W_final.txt"}) {
        bytes += ReadFile(results / file);
      }
      if (exact_reference.empty()) {
        exact_reference = bytes;
      } else if (bytes != exact_reference) {
        std::fprintf(stderr, "Error: the exact solver gave other results with %d threads\n",
                     run.threads);
        return 1;
      }
    }
  }
  return 0;
}
