// The scripted pauses of a healthy capture run, as measured on the wire: from
// the end of one step's last transfer to the start of the next step's first.
#pragma once

#include "module_model.h"

#include <string>
#include <vector>

namespace emulated_module {

struct ScriptGap {
    std::string what;
    int64_t scripted_ms = 0;
    int64_t measured_us = 0;
    int64_t late_us() const { return measured_us - scripted_ms * 1000; }
};

// The gaps of a run in which every transfer succeeded at its first try (16
// transfers: five commands with replies, four frame reads, the closing
// command and its reply).  Empty when the run does not have that shape.
std::vector<ScriptGap> scripted_gaps(const WireLog &wire);

}  // namespace emulated_module
