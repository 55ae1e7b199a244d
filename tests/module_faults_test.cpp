// Every fault the module can produce: the run goes on to its end ("done",
// exit status 0), nothing crashes, and a capture whose frame did not come
// leaves the earlier file of its name as it was.
#include "scenarios.h"
#include "tool_harness.h"

#include <functional>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emulated_module {
namespace {

const Bytes OLD_CAPTURE = {'o', 'l', 'd', '\r', '\n'};

std::string failed(const char *name, const char *read_error = nullptr)
{
    std::string lines = read_error ? std::string("read: ") + read_error + "\n" : "";
    return lines + "no complete frame for captures/" + name + "\n";
}

std::string stored(int frame_index)
{
    static const std::string lines[4] = {
        frame_line(1056, 1, 1, 0x0102), frame_line(20056, 2, 1, 0x0A0D),
        frame_line(56, 3, 1, 0x1A1A), frame_line(50056, 4, 2, 0xBEEF)};
    return lines[frame_index];
}

std::string run_output(const std::string &bg1, const std::string &bg2, const std::string &bg3,
                       const std::string &hand1)
{
    return bg1 + bg2 + bg3 + OPERATOR_PROMPT_LINE + hand1 + "done\n";
}

const std::string HEALTHY_OUTPUT = run_output(stored(0), stored(1), stored(2), stored(3));

ModuleBehaviour with_frames(std::vector<FrameRead> reads)
{
    ModuleBehaviour behaviour;
    behaviour.frame_reads = std::move(reads);
    return behaviour;
}

ModuleBehaviour healthy_behaviour()
{
    return healthy_module().devices[0].behaviour;
}

ModuleBehaviour with_command(ModuleBehaviour behaviour, uint32_t word, CommandRule rule)
{
    behaviour.commands.push_back({word, rule});
    return behaviour;
}

FrameRead forever(FrameRead read)
{
    read.forever = true;
    return read;
}

class ModuleFault;
using Check = std::function<void(ModuleFault &)>;

struct FaultCase {
    const char *name;
    ModuleBehaviour behaviour;
    std::string output;
    std::vector<int> new_captures;  // indexes of the captures that get their frame
    Check check;
};

void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }

class ModuleFault : public ToolTest, public ::testing::WithParamInterface<FaultCase> {
public:
    using ToolTest::trace;
    using ToolTest::transfers_on;
    using ToolTest::wire;
};

TEST_P(ModuleFault, TheRunEndsAndNoCaptureIsLostOrCorrupted)
{
    const FaultCase &c = GetParam();
    for (const char *name : CAPTURE_NAMES)
        write_capture(name, OLD_CAPTURE);
    run_tool(single_module(c.name, c.behaviour));

    EXPECT_EQ(run_.exit_status, 0);
    EXPECT_EQ(run_.out, c.output);
    std::vector<Bytes> frames = healthy_frames();
    for (int i = 0; i < 4; ++i) {
        bool renewed = std::find(c.new_captures.begin(), c.new_captures.end(), i) !=
                       c.new_captures.end();
        EXPECT_EQ(read_capture(CAPTURE_NAMES[i]), renewed ? frames[i] : OLD_CAPTURE)
            << CAPTURE_NAMES[i];
    }
    EXPECT_EQ(capture_dir_entries().size(), 4u) << "a temporary file was left behind";
    if (c.check)
        c.check(*this);
}

void replies_wait_their_time_out(ModuleFault &test)
{
    std::vector<Transfer> replies = test.transfers_on(REPLY_ENDPOINT);
    ASSERT_EQ(replies.size(), 6u);
    for (const Transfer &reply : replies) {
        EXPECT_EQ(reply.status, UrbStatus::cancelled);
        EXPECT_GE(reply.completed_us - reply.submitted_us, 2000000 - SUBMIT_LATENCY_US);
        EXPECT_LE(reply.completed_us - reply.submitted_us, 2000000 + LATE_TOLERANCE_US);
    }
}

std::string out_line(uint32_t word, size_t length, const char *status)
{
    return "OUT 0x03" + command_chat(word, length)[0].substr(8, 3 * length) + ": " + status;
}

void stalled_commands_are_not_answered_until_the_halt_is_cleared(ModuleFault &test)
{
    std::vector<std::string> chat = test.trace();
    std::vector<std::string> expected = {"open", "set_configuration 2", "set_configuration 1",
                                         "claim_interface 0"};
    append(expected, command_chat(CMD_6B));
    // A stalled command gets no reply read; the endpoint stays halted.
    append(expected, {out_line(CMD_6C, 4, "stall"), out_line(CMD_6F, 4, "stall"),
                      out_line(CMD_72, 8, "stall"), out_line(CMD_73, 4, "stall"),
                      "IN 0x81 70000: ok 1056", "IN 0x81 70000: ok 20056", "IN 0x81 70000: ok 56",
                      "IN 0x81 70000: ok 50056", "clear_halt 0x03", "clear_halt 0x82"});
    append(expected, command_chat(CMD_74));
    EXPECT_EQ(chat, expected);
}

void unanswered_command_times_out_without_a_reply_read(ModuleFault &test)
{
    std::vector<std::string> chat = test.trace();
    ASSERT_GE(chat.size(), 7u);
    EXPECT_EQ(chat[4], out_line(CMD_6B, 4, "cancelled"));
    EXPECT_EQ(chat[5], command_chat(CMD_6C)[0]) << "the next command follows, no reply read";
    Transfer first = test.transfers_on(COMMAND_ENDPOINT)[0];
    EXPECT_GE(first.completed_us - first.submitted_us, 2000000 - SUBMIT_LATENCY_US);
}

// A capture fed forever without a frame gives up within its 5 s bound.
void captures_give_up_after_five_seconds(ModuleFault &test)
{
    std::vector<Transfer> reads = test.transfers_on(FRAME_ENDPOINT);
    ASSERT_FALSE(reads.empty());
    // The captures are told apart by the scripted pauses between them.
    std::vector<int64_t> spans;
    int64_t start = reads.front().submitted_us, last = start;
    for (const Transfer &read : reads) {
        if (read.submitted_us - last > 700000) {
            spans.push_back(last - start);
            start = read.submitted_us;
        }
        last = read.completed_us;
    }
    spans.push_back(last - start);
    ASSERT_EQ(spans.size(), 4u);
    for (int64_t span : spans) {
        EXPECT_LE(span, 5000000 + LATE_TOLERANCE_US);
        EXPECT_GE(span, 4900000);
    }
}

std::vector<FaultCase> fault_cases()
{
    std::vector<Bytes> frames = healthy_frames();
    CommandRule no_reply{CommandOutcome::accepted, false, {}};
    CommandRule stall{CommandOutcome::stall, true, {}};
    CommandRule never{CommandOutcome::never_answered, true, {}};
    ModuleBehaviour silent_replies = healthy_behaviour();
    silent_replies.default_rule = no_reply;
    return {
        {"unplugged_during_the_second_capture",
         with_frames({data_read(frames[0]), unplug_read()}),
         run_output(stored(0), failed("bg2.bin", "LIBUSB_ERROR_NO_DEVICE"),
                    failed("bg3.bin", "LIBUSB_ERROR_NO_DEVICE"),
                    failed("hand1.bin", "LIBUSB_ERROR_NO_DEVICE")),
         {0}, nullptr},
        {"replies_never_come", silent_replies, HEALTHY_OUTPUT, {0, 1, 2, 3},
         replies_wait_their_time_out},
        {"command_endpoint_stalls_until_the_halts_are_cleared",
         with_command(healthy_behaviour(), CMD_6C, stall), HEALTHY_OUTPUT, {0, 1, 2, 3},
         stalled_commands_are_not_answered_until_the_halt_is_cleared},
        {"command_never_taken", with_command(healthy_behaviour(), CMD_6B, never), HEALTHY_OUTPUT,
         {0, 1, 2, 3}, unanswered_command_times_out_without_a_reply_read},
        {"read_errors",
         with_frames({error_read(UrbStatus::io_error), error_read(UrbStatus::overflow),
                      error_read(UrbStatus::stall), data_read(frames[3])}),
         run_output(failed("bg1.bin", "LIBUSB_ERROR_IO"), failed("bg2.bin", "LIBUSB_ERROR_OVERFLOW"),
                    failed("bg3.bin", "LIBUSB_ERROR_PIPE"), stored(3)),
         {3}, nullptr},
        {"endless_zero_length_reads", with_frames({forever(zero_length_read())}),
         run_output(failed("bg1.bin"), failed("bg2.bin"), failed("bg3.bin"), failed("hand1.bin")),
         {}, captures_give_up_after_five_seconds},
        {"endless_unsynchronised_bytes", with_frames({forever(data_read(Bytes(1000, 0x5A)))}),
         run_output(failed("bg1.bin"), failed("bg2.bin"), failed("bg3.bin"), failed("hand1.bin")),
         {}, captures_give_up_after_five_seconds},
    };
}

INSTANTIATE_TEST_SUITE_P(Module, ModuleFault, ::testing::ValuesIn(fault_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace emulated_module
