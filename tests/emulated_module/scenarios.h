// Named scenarios of the emulated module that more than one harness plays:
// the end-to-end tests, the try-it runner and the stand-in libusb for Windows.
#pragma once

#include "module_model.h"

#include <string>
#include <vector>

namespace emulated_module {

// The four frames a healthy module streams in a complete run, in capture
// order (bg1, bg2, bg3, hand1).  Their data hold 0x0A, 0x0D and 0x1A bytes.
std::vector<Bytes> healthy_frames();

// A module that answers every command and streams the four healthy frames.
Scenario healthy_module();
// A bus that holds only a device of another vendor.
Scenario no_module();

// A module with `behaviour` alone on the bus.
Scenario single_module(const std::string &name, ModuleBehaviour behaviour);
// A healthy module whose first capture (bg1) gets `first_capture_reads`
// instead of its frame; the other three captures get theirs.
Scenario first_capture_from(const std::string &name, std::vector<FrameRead> first_capture_reads);
// A module that answers every command but never sends a frame.
Scenario silent_module();

// Every named scenario above, for harnesses that pick one by name.
std::vector<Scenario> named_scenarios();
// The scenario called `name`; false when there is none.
bool find_scenario(const std::string &name, Scenario &found);

}  // namespace emulated_module
