// How closely the tool keeps to its script against a module that answers at
// once: the whole run's time beyond the 12,500 ms of scripted pauses, and how
// late each scripted gap was on the wire.  Not a test: figures to read.
//
//   script_timing_benchmark [RUNS]
#include "emulated_bus.h"
#include "scenarios.h"
#include "script_gaps.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

using namespace emulated_module;

namespace {

constexpr int64_t SCRIPTED_PAUSES_MS = 300 + 500 + 800 + 800 + 10000 + 100;

double ms(int64_t us)
{
    return static_cast<double>(us) / 1000.0;
}

void print_run(int run, const ToolRun &result, const WireLog &wire,
               const std::vector<ScriptGap> &gaps)
{
    int64_t over_us = result.ended_us - result.started_us - SCRIPTED_PAUSES_MS * 1000;
    std::vector<WireEvent> events = wire.events();
    std::printf("run %d: exit %d, %.3f ms over the script (start to open %.3f ms, last "
                "transfer to exit %.3f ms)\n",
                run, result.exit_status, ms(over_us), ms(events.front().at_us - result.started_us),
                ms(result.ended_us - events.back().at_us));
    for (const ScriptGap &gap : gaps)
        std::printf("  %-20s scripted %5lld ms  late %7.3f ms\n", gap.what.c_str(),
                    static_cast<long long>(gap.scripted_ms),
                    ms(gap.late_us()));
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::string reason = EmulatedBus::unavailable_reason();
    if (!reason.empty()) {
        std::fprintf(stderr, "cannot emulate the module here: %s\n", reason.c_str());
        return 77;
    }
    std::string work_dir = std::string(BENCHMARK_DIR);
    mkdir(work_dir.c_str(), 0755);

    int64_t worst_over_us = 0, worst_late_us = 0, earliest_us = 0;
    for (int run = 1; run <= runs; ++run) {
        EmulatedBus bus(healthy_module());
        ToolRun result = bus.run(TOOL_UNDER_TEST, work_dir);
        std::vector<ScriptGap> gaps = scripted_gaps(bus.wire());
        if (result.exit_status != 0 || gaps.empty()) {
            std::fprintf(stderr, "run %d did not complete as a healthy run\n%s", run,
                         result.out.c_str());
            return 1;
        }
        print_run(run, result, bus.wire(), gaps);
        worst_over_us = std::max(worst_over_us, result.ended_us - result.started_us -
                                                    SCRIPTED_PAUSES_MS * 1000);
        for (const ScriptGap &gap : gaps) {
            worst_late_us = std::max(worst_late_us, gap.late_us());
            earliest_us = std::min(earliest_us, gap.late_us());
        }
    }
    std::printf("worst of %d runs: %.3f ms over the script (goal <= 25), latest gap %.3f ms "
                "(goal <= 5), earliest %.3f ms (goal >= 0)\n",
                runs, static_cast<double>(worst_over_us) / 1000.0,
                static_cast<double>(worst_late_us) / 1000.0,
                static_cast<double>(earliest_us) / 1000.0);
    return 0;
}
