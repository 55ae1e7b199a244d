// How a capture finds, waits for and stores one frame of the stream: each
// case gives the reads of the first capture (bg1); the other three captures
// get their frames, so every case is a whole run of the real tool.
#include "scenarios.h"
#include "tool_harness.h"

namespace emulated_module {
namespace {

const FrameHeader HEADER = {0x01020304, 0xFE, 0xA1B2};
// The summary line of a frame with HEADER: every field is little-endian.
std::string header_line(uint32_t data_len)
{
    return frame_line(56 + data_len, 0x01020304, 0xFE, 0xA1B2);
}

Bytes frame(uint32_t data_len)
{
    return make_frame(HEADER, data_len);
}

Bytes junk(size_t size)
{
    return Bytes(size, 0x5A);
}

Bytes part(const Bytes &bytes, size_t from, size_t to = SIZE_MAX)
{
    return Bytes(bytes.begin() + from, bytes.begin() + std::min(to, bytes.size()));
}

const std::string NO_FRAME = "no complete frame for captures/bg1.bin\n";
const std::string READ_TIMEOUT = "read: LIBUSB_ERROR_TIMEOUT\n";

struct GrabCase {
    const char *name;
    std::vector<FrameRead> reads;  // what the first capture reads
    Bytes stored;                  // expected content of bg1.bin; empty: no file
    std::string output;            // expected lines of the first capture
};

void PrintTo(const GrabCase &c, std::ostream *os) { *os << c.name; }

std::vector<FrameRead> reads_of(std::initializer_list<Bytes> chunks)
{
    std::vector<FrameRead> reads;
    for (const Bytes &chunk : chunks)
        reads.push_back(data_read(chunk));
    return reads;
}

std::vector<FrameRead> then_nothing(std::vector<FrameRead> reads)
{
    reads.push_back(timeout_read());
    return reads;
}

std::vector<GrabCase> grab_cases()
{
    Bytes big = frame(50000);
    Bytes lost = make_frame({9, 9, 9}, 100);
    return {
        {"whole_frame_in_one_read", reads_of({frame(1000)}), frame(1000), header_line(1000)},
        {"no_data_bytes", reads_of({frame(0)}), frame(0), header_line(0)},
        {"largest_data_len_accepted", reads_of({frame(50000)}), frame(50000), header_line(50000)},
        {"data_len_over_the_limit", reads_of({frame(50001)}), {}, NO_FRAME},
        {"bytes_before_the_sync_are_dropped", reads_of({concat({junk(4), frame(100)})}),
         frame(100), header_line(100)},
        {"sync_off_the_4_byte_grid_is_not_seen",
         reads_of({concat({junk(2), lost}), frame(200)}), frame(200), header_line(200)},
        {"header_split_before_28_bytes", split_reads(frame(1000), {20}), frame(1000),
         header_line(1000)},
        {"frame_split_at_1_4_28_and_56_bytes_after_a_sync_read",
         reads_of({part(frame(300), 0, 4), part(frame(300), 4, 28), part(frame(300), 28, 56),
                   part(frame(300), 56)}),
         frame(300), header_line(300)},
        {"read_ending_inside_the_sync_loses_that_frame",
         reads_of({part(lost, 0, 2), part(lost, 2), frame(400)}), frame(400), header_line(400)},
        {"zero_length_reads_are_waited_through",
         {zero_length_read(), zero_length_read(), data_read(frame(100))}, frame(100),
         header_line(100)},
        {"only_the_first_of_two_frames_in_a_read", reads_of({concat({frame(100), lost})}),
         frame(100), header_line(100)},
        {"rejected_header_hides_the_frame_behind_it",
         then_nothing(reads_of({make_frame(HEADER, 0, 60000), frame(100)})), {},
         READ_TIMEOUT + NO_FRAME},
        {"frame_over_50000_bytes_completed_by_the_read_that_crosses",
         split_reads(big, {49990}), big, header_line(50000)},
        {"frame_over_50000_bytes_still_short_after_the_crossing_read",
         reads_of({part(big, 0, 50010)}), {}, NO_FRAME},
        {"read_error", {error_read(UrbStatus::io_error)}, {}, "read: LIBUSB_ERROR_IO\n" + NO_FRAME},
    };
}

class FrameGrab : public ToolTest, public ::testing::WithParamInterface<GrabCase> {};

TEST_P(FrameGrab, StoresExactlyTheFirstWholeFrame)
{
    const GrabCase &c = GetParam();
    run_tool(first_capture_from(c.name, c.reads));
    EXPECT_EQ(run_.exit_status, 0);
    std::string rest = frame_line(20056, 2, 1, 0x0A0D) + frame_line(56, 3, 1, 0x1A1A) +
                       OPERATOR_PROMPT_LINE + frame_line(50056, 4, 2, 0xBEEF) + "done\n";
    EXPECT_EQ(run_.out, c.output + rest);
    if (c.stored.empty()) {
        EXPECT_FALSE(capture_exists("bg1.bin"));
    } else {
        EXPECT_EQ(read_capture("bg1.bin"), c.stored);
    }
    EXPECT_EQ(read_capture("bg2.bin"), healthy_frames()[1]) << "the next capture starts afresh";
    for (const Transfer &read : transfers_on(FRAME_ENDPOINT)) {
        EXPECT_LE(read.requested, 70000u);
        EXPECT_GE(read.requested, 20001u);
    }
}

INSTANTIATE_TEST_SUITE_P(Stream, FrameGrab, ::testing::ValuesIn(grab_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// Each read asks for exactly the buffer's free space.
TEST_F(ToolTest, EachReadAsksForTheFreeSpaceOfTheBuffer)
{
    Bytes whole = make_frame(HEADER, 1000);
    run_tool(first_capture_from("split", split_reads(whole, {4, 24, 100})));
    std::vector<Transfer> reads = transfers_on(FRAME_ENDPOINT);
    ASSERT_GE(reads.size(), 4u);
    EXPECT_EQ(reads[0].requested, 70000u);
    EXPECT_EQ(reads[1].requested, 70000u - 4);
    EXPECT_EQ(reads[2].requested, 70000u - 28);
    EXPECT_EQ(reads[3].requested, 70000u - 128);
}

}  // namespace
}  // namespace emulated_module
