// Runs a program (by default the real usb_grab4) against the emulated camera
// module, passes its output through and, with --wire, prints what crossed the
// wire.  This is how to try the tool without the hardware:
//
//   try_emulated_module [--wire] [--scenario NAME] [PROGRAM]
#include "emulated_bus.h"
#include "scenarios.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace emulated_module;

int main(int argc, char **argv)
{
    std::string program = DEFAULT_PROGRAM;
    std::string scenario_name = "healthy_module";
    bool show_wire = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wire") == 0) {
            show_wire = true;
        } else if (std::strcmp(argv[i], "--scenario") == 0 && i + 1 < argc) {
            scenario_name = argv[++i];
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "usage: %s [--wire] [--scenario NAME] [PROGRAM]\nscenarios:",
                         argv[0]);
            for (const Scenario &scenario : named_scenarios())
                std::fprintf(stderr, " %s", scenario.name.c_str());
            std::fprintf(stderr, "\n");
            return 2;
        } else {
            program = argv[i];
        }
    }
    std::string reason = EmulatedBus::unavailable_reason();
    if (!reason.empty()) {
        std::fprintf(stderr, "cannot emulate the module here: %s\n", reason.c_str());
        return 77;
    }
    Scenario scenario;
    if (!find_scenario(scenario_name, scenario)) {
        std::fprintf(stderr, "no scenario called %s\n", scenario_name.c_str());
        return 2;
    }

    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return 2;
    EmulatedBus bus(scenario);
    std::fprintf(stderr, "running %s against the emulated module (%s)\n", program.c_str(),
                 scenario.name.c_str());
    ToolRun run = bus.run(program, cwd);
    std::fwrite(run.out.data(), 1, run.out.size(), stdout);
    std::fwrite(run.err.data(), 1, run.err.size(), stderr);
    if (show_wire)
        std::fprintf(stderr, "--- wire ---\n%s", bus.wire().dump().c_str());
    std::fprintf(stderr, "%s exited with status %d after %.1f s\n", program.c_str(),
                 run.exit_status, static_cast<double>(run.ended_us - run.started_us) / 1e6);
    return run.exit_status;
}
