// Runs the registered benchmarks and prints the ratio tables and targets.
#include "bench_report.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {
namespace {

struct Case {
  std::string name;  // group/input/contender
  int64_t family = 0;
  int64_t instance = 0;
  double input_bytes = 0;
  std::vector<double> seconds;  // CPU time per iteration, one per repetition
  double best = 0;              // the fastest repetition: what ratios use
  double median = 0;
};

std::string group_of(const std::string &name) {  // "group/input"
  size_t cut = name.rfind('/');
  return cut == std::string::npos ? name : name.substr(0, cut);
}
std::string contender_of(const std::string &name) {
  size_t cut = name.rfind('/');
  return cut == std::string::npos ? name : name.substr(cut + 1);
}
std::string family_of(const std::string &name) { return name.substr(0, name.find('/')); }
std::string input_of(const std::string &name) {  // between the family and the contender
  size_t first = name.find('/'), last = name.rfind('/');
  return first == last ? std::string() : name.substr(first + 1, last - first - 1);
}
bool is_runtime(const std::string &contender) { return contender.rfind("runtime", 0) == 0; }

// Collects every repetition quietly (a progress count when stderr is a
// terminal) and prints the summary when the runs are over.
class SummaryReporter : public benchmark::BenchmarkReporter {
 public:
  explicit SummaryReporter(const std::vector<Target> &targets) : targets_(targets) {}

  bool ReportContext(const Context &context) override {
    PrintBasicContext(&GetErrorStream(), context);
    return true;
  }

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      const std::string &name = run.run_name.function_name;
      if (run.error_occurred) {
        fprintf(stderr, "\n%s: %s\n", name.c_str(), run.error_message.c_str());
        continue;
      }
      Case &c = cases_[name];
      c.name = name;
      c.family = run.family_index;
      c.instance = run.per_family_instance_index;
      auto bytes = run.counters.find("input_bytes");
      if (bytes != run.counters.end()) c.input_bytes = bytes->second.value;
      c.seconds.push_back(run.cpu_accumulated_time / static_cast<double>(run.iterations));
      ++runs_;
      if (progress_) fprintf(stderr, "\rmeasured %d runs", runs_);
    }
  }

  void Finalize() override {
    if (progress_) fprintf(stderr, "\n");
    std::vector<Case *> ordered;
    for (auto &entry : cases_) {
      Case &c = entry.second;
      std::vector<double> s = c.seconds;
      std::sort(s.begin(), s.end());
      c.best = s.front();
      c.median = s.size() % 2 ? s[s.size() / 2] : (s[s.size() / 2 - 1] + s[s.size() / 2]) / 2;
      ordered.push_back(&c);
    }
    std::sort(ordered.begin(), ordered.end(), [](const Case *a, const Case *b) {
      return a->family != b->family ? a->family < b->family : a->instance < b->instance;
    });
    print_cases(ordered);
    print_ratios(ordered);
    print_targets(ordered);
  }

 private:
  const Case *find(const std::string &name) const {
    auto at = cases_.find(name);
    return at == cases_.end() ? nullptr : &at->second;
  }

  static double gigabytes_per_second(const Case &c) { return c.input_bytes / c.best / 1e9; }

  void print_cases(const std::vector<Case *> &ordered) const {
    printf("\nCPU time per operation: the fastest of the interleaved repetitions, which\n"
           "the ratios use, and their median; GB/s of input at the fastest.\n");
    std::string group;
    for (const Case *c : ordered) {
      if (group_of(c->name) != group) {
        group = group_of(c->name);
        printf("\n%-44s %12s %12s %9s\n", group.c_str(), "us/op", "median", "GB/s");
      }
      printf("  %-42s %12.2f %12.2f %9.2f\n", contender_of(c->name).c_str(), c->best * 1e6, c->median * 1e6,
             gigabytes_per_second(*c));
    }
  }

  // One markdown table per family: a row for each runtime contender of each
  // input, a column for each peer of the family.
  void print_ratios(const std::vector<Case *> &ordered) const {
    printf("\nRatios: peer time / runtime time (above 1 the runtime is faster).\n");
    size_t k = 0;
    while (k < ordered.size()) {
      std::string family = family_of(ordered[k]->name);
      size_t end = k;
      std::vector<std::string> peers;
      while (end < ordered.size() && family_of(ordered[end]->name) == family) {
        std::string who = contender_of(ordered[end]->name);
        if (!is_runtime(who) && std::find(peers.begin(), peers.end(), who) == peers.end()) peers.push_back(who);
        ++end;
      }
      printf("\n| %s | runtime | GB/s |", family.c_str());
      for (const std::string &p : peers) printf(" %s |", p.c_str());
      printf("\n|---|---|---:|");
      for (size_t p = 0; p < peers.size(); ++p) printf("---:|");
      printf("\n");
      for (size_t i = k; i < end; ++i) {
        const Case &c = *ordered[i];
        if (!is_runtime(contender_of(c.name))) continue;
        printf("| %s | %s | %.2f |", input_of(c.name).c_str(), contender_of(c.name).c_str(), gigabytes_per_second(c));
        for (const std::string &p : peers) {
          const Case *peer = find(group_of(c.name) + "/" + p);
          if (peer == nullptr) printf(" - |");
          else printf(" %.2fx |", peer->best / c.best);
        }
        printf("\n");
      }
      k = end;
    }
  }

  void print_targets(const std::vector<Case *> &ordered) const {
    if (targets_.empty()) return;
    printf("\nTargets\n");
    for (const Target &t : targets_) {
      bool any = false;
      for (const Case *c : ordered) {
        if (c->name.rfind(t.cases, 0) != 0 || contender_of(c->name) != t.runtime) continue;
        any = true;
        double value;
        std::string goal;
        if (t.peer.empty()) {
          value = gigabytes_per_second(*c);
          goal = "GB/s";
        } else {
          const Case *peer = find(group_of(c->name) + "/" + t.peer);
          if (peer == nullptr) continue;
          value = peer->best / c->best;
          goal = "x " + t.peer;
        }
        printf("  %-9s %s: %.2f %s (goal %.2f)\n", value >= t.at_least ? "[met]" : "[NOT met]", c->name.c_str(), value,
               goal.c_str(), t.at_least);
      }
      if (!any) printf("  [no case] %s*/%s\n", t.cases.c_str(), t.runtime.c_str());
    }
  }

  std::vector<Target> targets_;
  std::map<std::string, Case> cases_;
  int runs_ = 0;
  bool progress_ = isatty(2) != 0;  // a count of the runs on a terminal
};

}  // namespace

void set_input_bytes(benchmark::State &state, int64_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
  state.counters["input_bytes"] = benchmark::Counter(static_cast<double>(bytes));
}

int run(int argc, char **argv, const std::vector<Target> &targets) {
  // Defaults first, so that the same flags given on the command line win.
  std::vector<char *> args = {argv[0]};
  static char repetitions[] = "--benchmark_repetitions=10";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char min_time[] = "--benchmark_min_time=0.01";
  args.push_back(repetitions);
  args.push_back(interleave);
  args.push_back(min_time);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  SummaryReporter reporter(targets);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
