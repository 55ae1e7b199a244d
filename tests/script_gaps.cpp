#include "script_gaps.h"

namespace emulated_module {

std::vector<ScriptGap> scripted_gaps(const WireLog &wire)
{
    std::vector<Transfer> all = wire.transfers();
    if (all.size() != 16)
        return {};
    int64_t halts_cleared_us = 0;
    for (const WireEvent &event : wire.events())
        if (event.op == WireOp::clear_halt && event.endpoint == REPLY_ENDPOINT)
            halts_cleared_us = event.at_us;
    auto between = [&](const char *what, int64_t ms, size_t before, size_t after) {
        return ScriptGap{what, ms, all[after].submitted_us - all[before].completed_us};
    };
    // 0..9: commands 6B 6C 6F 72 73, each followed by its reply; 10..13: the
    // four frame reads; 14, 15: command 74 and its reply.
    return {
        between("6B reply to 6C", 0, 1, 2),
        between("6C reply to 6F", 0, 3, 4),
        between("6F reply to 72", 0, 5, 6),
        between("72 reply to 73", 300, 7, 8),
        between("73 reply to bg1", 500, 9, 10),
        between("bg1 to bg2", 800, 10, 11),
        between("bg2 to bg3", 800, 11, 12),
        between("bg3 to palm", 10000, 12, 13),
        ScriptGap{"halts cleared to 74", 100, all[14].submitted_us - halts_cleared_us},
    };
}

}  // namespace emulated_module
