// The whole capture run, end to end: the real tool and libusb against the
// emulated module.
#include "scenarios.h"
#include "tool_harness.h"

namespace emulated_module {
namespace {

class CaptureRun : public ToolTest {};

TEST_F(CaptureRun, HealthyModuleStoresFourFramesAndSaysDone)
{
    run_tool(healthy_module());
    EXPECT_EQ(run_.exit_status, 0);
    std::string expected = frame_line(1056, 1, 1, 0x0102) + frame_line(20056, 2, 1, 0x0A0D) +
                           frame_line(56, 3, 1, 0x1A1A) + OPERATOR_PROMPT_LINE +
                           frame_line(50056, 4, 2, 0xBEEF) + "done\n";
    EXPECT_EQ(run_.out, expected);
    std::vector<Bytes> frames = healthy_frames();
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(read_capture(CAPTURE_NAMES[i]), frames[i]) << CAPTURE_NAMES[i];
}

}  // namespace
}  // namespace emulated_module
