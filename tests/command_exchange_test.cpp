// The command exchange on its own: the tool's source compiled into this test,
// with the one libusb call it makes replaced by a recorder, so every length
// and both failure paths can be driven directly.
#include <libusb.h>

#include <gtest/gtest.h>

#include <vector>

#define main usb_grab4_main
#include "../src/usb_grab4.cpp"
#undef main

namespace {

struct BulkCall {
    unsigned char endpoint;
    std::vector<unsigned char> out;  // OUT: the bytes sent
    int length;
    unsigned timeout;
};

std::vector<BulkCall> calls;
int out_status = 0;
int in_status = 0;

}  // namespace

// Defined here, this wins over libusb's own for the tool's code.
int libusb_bulk_transfer(libusb_device_handle *, unsigned char endpoint, unsigned char *data,
                         int length, int *transferred, unsigned int timeout)
{
    bool in = endpoint & LIBUSB_ENDPOINT_IN;
    calls.push_back({endpoint, in ? std::vector<unsigned char>{}
                                  : std::vector<unsigned char>(data, data + length),
                     length, timeout});
    *transferred = in ? 0 : length;
    return in ? in_status : out_status;
}

namespace {

using Bytes = std::vector<unsigned char>;

struct EncodingCase {
    const char *name;
    uint32_t word;
    uint32_t second;
    int length;
    Bytes wire;
};

void PrintTo(const EncodingCase &c, std::ostream *os) { *os << c.name; }

class CommandEncoding : public ::testing::TestWithParam<EncodingCase> {
protected:
    void SetUp() override
    {
        calls.clear();
        out_status = in_status = 0;
    }
};

TEST_P(CommandEncoding, SendsTheWordLittleEndianThenReadsTheReply)
{
    const EncodingCase &c = GetParam();
    EXPECT_EQ(sendcmd(nullptr, c.word, c.second, c.length), 0);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].endpoint, 0x03);
    EXPECT_EQ(calls[0].out, c.wire);
    EXPECT_EQ(calls[0].timeout, 2000u);
    EXPECT_EQ(calls[1].endpoint, 0x82);
    EXPECT_EQ(calls[1].length, 4096);
    EXPECT_EQ(calls[1].timeout, 2000u);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, CommandEncoding,
    ::testing::Values(
        EncodingCase{"word_alone", 0x6BB6B66B, 0, 4, {0x6B, 0xB6, 0xB6, 0x6B}},
        EncodingCase{"second_word_not_sent_with_length_4", 0x6BB6B66C, 0xDEADBEEF, 4,
                     {0x6C, 0xB6, 0xB6, 0x6B}},
        EncodingCase{"zero_second_word", 0x6BB6B672, 0, 8,
                     {0x72, 0xB6, 0xB6, 0x6B, 0, 0, 0, 0}},
        EncodingCase{"second_word_little_endian", 0x6BB6B672, 0x11223344, 8,
                     {0x72, 0xB6, 0xB6, 0x6B, 0x44, 0x33, 0x22, 0x11}},
        EncodingCase{"length_5_pads_with_zero", 0x6BB6B673, 0xFFFFFFFF, 5,
                     {0x73, 0xB6, 0xB6, 0x6B, 0}},
        EncodingCase{"length_7_pads_with_zero", 0x6BB6B673, 0xFFFFFFFF, 7,
                     {0x73, 0xB6, 0xB6, 0x6B, 0, 0, 0}},
        EncodingCase{"length_0_sends_nothing", 0x6BB6B674, 0, 0, {}}),
    [](const auto &info) { return std::string(info.param.name); });

class CommandFailure : public CommandEncoding {};

TEST_F(CommandFailure, LengthOutsideTheBufferIsRefusedWithoutATransfer)
{
    EXPECT_EQ(sendcmd(nullptr, 0x6BB6B66B, 0, 9), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(sendcmd(nullptr, 0x6BB6B66B, 0, -1), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_TRUE(calls.empty());
}

TEST_F(CommandFailure, AFailedCommandReturnsItsStatusAndReadsNoReply)
{
    out_status = LIBUSB_ERROR_PIPE;
    EXPECT_EQ(sendcmd(nullptr, 0x6BB6B66B, 0, 4), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].endpoint, 0x03);
}

TEST_F(CommandFailure, AFailedReplyReadIsPassedThrough)
{
    in_status = LIBUSB_ERROR_TIMEOUT;
    EXPECT_EQ(sendcmd(nullptr, 0x6BB6B66B, 0, 4), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(calls.size(), 2u);
}

}  // namespace
