#include "scenarios.h"

namespace emulated_module {

std::vector<Bytes> healthy_frames()
{
    return {
        make_frame({1, 0x01, 0x0102}, 1000),
        make_frame({2, 0x01, 0x0A0D}, 20000),
        make_frame({3, 0x01, 0x1A1A}, 0),
        make_frame({4, 0x02, 0xBEEF}, 50000),
    };
}

Scenario healthy_module()
{
    BusDevice module;
    for (const Bytes &frame : healthy_frames())
        module.behaviour.frame_reads.push_back(data_read(frame));
    return Scenario{"healthy_module", {module}};
}

Scenario single_module(const std::string &name, ModuleBehaviour behaviour)
{
    BusDevice module;
    module.behaviour = std::move(behaviour);
    return Scenario{name, {module}};
}

Scenario first_capture_from(const std::string &name, std::vector<FrameRead> first_capture_reads)
{
    ModuleBehaviour behaviour;
    behaviour.frame_reads = std::move(first_capture_reads);
    std::vector<Bytes> frames = healthy_frames();
    for (size_t i = 1; i < frames.size(); ++i)
        behaviour.frame_reads.push_back(data_read(frames[i]));
    return single_module(name, behaviour);
}

Scenario silent_module()
{
    return single_module("silent_module", ModuleBehaviour{});
}

Scenario no_module()
{
    BusDevice other;
    other.vid = 0x1D6B;
    other.pid = 0x0002;
    return Scenario{"no_module", {other}};
}

std::vector<Scenario> named_scenarios()
{
    return {healthy_module(), no_module(), silent_module()};
}

bool find_scenario(const std::string &name, Scenario &found)
{
    for (Scenario &scenario : named_scenarios()) {
        if (scenario.name == name) {
            found = scenario;
            return true;
        }
    }
    return false;
}

}  // namespace emulated_module
