// The whole capture run, end to end: the real tool and libusb against the
// emulated module.  Device selection, the script on the wire and its delays,
// the console lines, the exit status and the capture files.
#include "scenarios.h"
#include "script_gaps.h"
#include "tool_harness.h"

namespace emulated_module {
namespace {


std::string healthy_output()
{
    return frame_line(1056, 1, 1, 0x0102) + frame_line(20056, 2, 1, 0x0A0D) +
           frame_line(56, 3, 1, 0x1A1A) + OPERATOR_PROMPT_LINE + frame_line(50056, 4, 2, 0xBEEF) +
           "done\n";
}

std::vector<std::string> healthy_chat()
{
    std::vector<std::string> chat = {"open", "set_configuration 2", "set_configuration 1",
                                     "claim_interface 0"};
    for (uint32_t word : {CMD_6B, CMD_6C, CMD_6F})
        append(chat, command_chat(word));
    append(chat, command_chat(CMD_72, 8));
    append(chat, command_chat(CMD_73));
    append(chat, {"IN 0x81 70000: ok 1056", "IN 0x81 70000: ok 20056", "IN 0x81 70000: ok 56",
                  "IN 0x81 70000: ok 50056", "clear_halt 0x03", "clear_halt 0x82"});
    append(chat, command_chat(CMD_74));
    return chat;
}

BusDevice module_device(uint16_t pid = MODULE_PID, bool openable = true)
{
    BusDevice device = healthy_module().devices[0];
    device.pid = pid;
    device.openable = openable;
    return device;
}

BusDevice other_vendor_device()
{
    return no_module().devices[0];
}

class CaptureRun : public ToolTest {};

TEST_F(CaptureRun, HealthyModuleGetsTheWholeScriptAndFourFramesAreStored)
{
    run_tool(healthy_module());
    EXPECT_EQ(run_.exit_status, 0);
    EXPECT_EQ(run_.out, healthy_output());
    EXPECT_EQ(trace(), healthy_chat());

    std::vector<Bytes> frames = healthy_frames();
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(read_capture(CAPTURE_NAMES[i]), frames[i]) << CAPTURE_NAMES[i];
    // Nothing beside the four files: no temporary file is left behind.
    EXPECT_EQ(capture_dir_entries(),
              (std::vector<std::string>{"bg1.bin", "bg2.bin", "bg3.bin", "hand1.bin"}));
}

TEST_F(CaptureRun, ScriptedDelaysAreKeptAndThePromptComesBeforeTheWait)
{
    run_tool(healthy_module());
    std::vector<ScriptGap> gaps = scripted_gaps(wire());
    ASSERT_EQ(gaps.size(), 9u) << "not the 16 transfers of a healthy run";
    for (const ScriptGap &gap : gaps) {
        EXPECT_GE(gap.late_us(), 0) << gap.what << " came early";
        EXPECT_LE(gap.late_us(), LATE_TOLERANCE_US) << gap.what;
    }

    std::vector<Transfer> reads = transfers_on(FRAME_ENDPOINT);
    ASSERT_EQ(reads.size(), 4u);
    int64_t prompt_us = line_time(std::string(OPERATOR_PROMPT_LINE, 62));
    EXPECT_GT(prompt_us, reads[2].completed_us) << "the prompt follows the third capture";
    EXPECT_LT(prompt_us, reads[2].completed_us + LATE_TOLERANCE_US);
    EXPECT_GE(reads[3].submitted_us - prompt_us, 9990000) << "the palm waits 10 s after the prompt";
}

TEST_F(CaptureRun, NothingIsCapturedWhenNoFrameComesButTheRunEnds)
{
    run_tool(silent_module());
    EXPECT_EQ(run_.exit_status, 0);
    std::string expected;
    for (const char *name : CAPTURE_NAMES) {
        if (std::string(name) == "hand1.bin")
            expected += OPERATOR_PROMPT_LINE;
        expected += "read: LIBUSB_ERROR_TIMEOUT\nno complete frame for captures/" +
                    std::string(name) + "\n";
    }
    EXPECT_EQ(run_.out, expected + "done\n");
    EXPECT_TRUE(capture_dir_entries().empty()) << "no frame, no file and no folder";
    std::vector<Transfer> reads = transfers_on(FRAME_ENDPOINT);
    ASSERT_EQ(reads.size(), 4u);
    for (const Transfer &read : reads) {
        EXPECT_EQ(read.status, UrbStatus::cancelled);
        EXPECT_GE(read.completed_us - read.submitted_us, 1000000 - SUBMIT_LATENCY_US)
            << "each read waits 1000 ms";
        EXPECT_LE(read.completed_us - read.submitted_us, 1000000 + LATE_TOLERANCE_US);
    }
}

TEST_F(CaptureRun, AnEarlierCaptureIsReplacedOnlyByANewFrame)
{
    Bytes old_content = {'o', 'l', 'd', '\n'};
    for (const char *name : CAPTURE_NAMES)
        write_capture(name, old_content);
    std::vector<Bytes> frames = healthy_frames();
    ModuleBehaviour behaviour;
    behaviour.frame_reads = {data_read(frames[0]), error_read(UrbStatus::io_error),
                             data_read(frames[2]), timeout_read()};
    run_tool(single_module("second_and_fourth_fail", behaviour));

    EXPECT_EQ(run_.exit_status, 0);
    EXPECT_EQ(run_.out, frame_line(1056, 1, 1, 0x0102) +
                            "read: LIBUSB_ERROR_IO\nno complete frame for captures/bg2.bin\n" +
                            frame_line(56, 3, 1, 0x1A1A) + OPERATOR_PROMPT_LINE +
                            "read: LIBUSB_ERROR_TIMEOUT\nno complete frame for captures/hand1.bin\n"
                            "done\n");
    EXPECT_EQ(read_capture("bg1.bin"), frames[0]);
    EXPECT_EQ(read_capture("bg2.bin"), old_content);
    EXPECT_EQ(read_capture("bg3.bin"), frames[2]);
    EXPECT_EQ(read_capture("hand1.bin"), old_content);
    EXPECT_EQ(capture_dir_entries().size(), 4u);
}

// Which device of the bus the run uses.
struct SelectionCase {
    const char *name;
    std::vector<BusDevice> devices;
    int chosen;               // index of the device that gets the script
    const char *stderr_text;  // expected in standard error, or empty
};

void PrintTo(const SelectionCase &c, std::ostream *os) { *os << c.name; }

class DeviceSelection : public CaptureRun, public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(DeviceSelection, TheFirstModuleThatOpensGetsTheScript)
{
    const SelectionCase &c = GetParam();
    run_tool(Scenario{c.name, c.devices});
    EXPECT_EQ(run_.exit_status, 0);
    EXPECT_EQ(run_.out, healthy_output());
    EXPECT_EQ(trace(c.chosen), healthy_chat());
    for (int i = 0; i < static_cast<int>(c.devices.size()); ++i) {
        if (i != c.chosen) {
            EXPECT_TRUE(trace(i).empty()) << "device " << i << " was touched";
        }
    }
    EXPECT_NE(run_.err.find(c.stderr_text), std::string::npos) << run_.err;
}

INSTANTIATE_TEST_SUITE_P(
    Bus, DeviceSelection,
    ::testing::Values(
        SelectionCase{"module_behind_another_vendor", {other_vendor_device(), module_device()}, 1, ""},
        SelectionCase{"first_of_two_modules", {module_device(), module_device()}, 0, ""},
        SelectionCase{"second_module_when_first_cannot_open",
                      {module_device(MODULE_PID, false), module_device()}, 1,
                      "LIBUSB_ERROR_ACCESS: install the udev rule"},
        SelectionCase{"any_product_id", {module_device(0xFFFF)}, 0, ""}),
    [](const auto &info) { return std::string(info.param.name); });

struct NoModuleCase {
    const char *name;
    std::vector<BusDevice> devices;
    const char *stderr_text;
};

void PrintTo(const NoModuleCase &c, std::ostream *os) { *os << c.name; }

class NoModule : public CaptureRun, public ::testing::WithParamInterface<NoModuleCase> {};

TEST_P(NoModule, SaysNoDeviceAndExitsWithStatusOne)
{
    const NoModuleCase &c = GetParam();
    run_tool(Scenario{c.name, c.devices});
    EXPECT_EQ(run_.exit_status, 1);
    EXPECT_EQ(run_.out, "no device\n");
    EXPECT_NE(run_.err.find(c.stderr_text), std::string::npos) << run_.err;
    EXPECT_TRUE(capture_dir_entries().empty());
    EXPECT_TRUE(transfers().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Bus, NoModule,
    ::testing::Values(
        NoModuleCase{"empty_bus", {}, ""},
        NoModuleCase{"only_another_vendor", {other_vendor_device()}, ""},
        NoModuleCase{"module_without_permission",
                     {other_vendor_device(), module_device(MODULE_PID, false)},
                     "cannot open module 833c:0001 on bus 1 address 2: LIBUSB_ERROR_ACCESS: "
                     "install the udev rule for the module or run with permission to the device\n"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace emulated_module
