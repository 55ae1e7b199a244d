// The input format of fuzz_grab, shared by the fuzz target (which decodes it)
// and make_corpus (which writes the seed inputs).  fuzz_grab.cpp describes the
// format in full; this header only names its record tags and field sizes.

#ifndef USB_GRAB4_FUZZ_GRAB_INPUT_H
#define USB_GRAB4_FUZZ_GRAB_INPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace grab_input {

// The low three bits of a record's first byte; the other bits are ignored, so
// every byte a mutation produces is some record.
enum Tag : uint8_t {
    PUSH_BYTES = 0,   // u8 n, then n bytes: appended to what the module holds
    PUSH_FRAME = 1,   // u32 data_len, u16 payload, u8 cnt, u8 type, u8 seed
    PUSH_REPEAT = 2,  // u16 n, u8 value: n copies of value
    PUSH_SYNC = 3,    // the four sync bytes alone
    DELAY = 4,        // u16 d: the module takes d x 0.1 ms over the next read
    READ = 5,         // u16 n: one read that completes with up to n bytes
    READ_ALL = 6,     // one read that completes with all it can take
    FAIL = 7,         // u8 which, u16 n: one read that fails
};
constexpr uint8_t TAG_MASK = 7;

// PUSH_FRAME's payload field: this value means "exactly data_len bytes".
constexpr uint16_t WHOLE_PAYLOAD = 0xFFFF;

// FAIL's selector, taken modulo FAIL_KINDS; fuzz_grab.cpp maps each to a
// libusb status.
enum FailKind : uint8_t {
    FAIL_TIMEOUT = 0,
    FAIL_IO,
    FAIL_OVERFLOW,
    FAIL_NO_DEVICE,
    FAIL_PIPE,
    FAIL_INTERRUPTED,
    FAIL_BUSY,
    FAIL_NO_MEM,
    FAIL_OTHER,
    FAIL_KINDS
};

// Builds an input record by record (little-endian fields).
class Writer {
public:
    Writer &push_bytes(const std::vector<uint8_t> &bytes)
    {
        // A record holds at most 255 bytes; longer runs take several.
        size_t at = 0;
        do {
            size_t n = bytes.size() - at < 255 ? bytes.size() - at : 255;
            out_.push_back(PUSH_BYTES);
            out_.push_back(static_cast<uint8_t>(n));
            out_.insert(out_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                        bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
            at += n;
        } while (at < bytes.size());
        return *this;
    }
    Writer &push_frame(uint32_t data_len, uint16_t payload, uint8_t cnt, uint8_t type,
                       uint8_t seed)
    {
        out_.push_back(PUSH_FRAME);
        le32(data_len);
        le16(payload);
        out_.push_back(cnt);
        out_.push_back(type);
        out_.push_back(seed);
        return *this;
    }
    Writer &push_whole_frame(uint32_t data_len, uint8_t cnt, uint8_t type = 1,
                             uint8_t seed = 0x40)
    {
        return push_frame(data_len, WHOLE_PAYLOAD, cnt, type, seed);
    }
    Writer &push_repeat(uint16_t n, uint8_t value)
    {
        out_.push_back(PUSH_REPEAT);
        le16(n);
        out_.push_back(value);
        return *this;
    }
    Writer &push_sync()
    {
        out_.push_back(PUSH_SYNC);
        return *this;
    }
    Writer &delay(uint16_t tenths_of_ms)
    {
        out_.push_back(DELAY);
        le16(tenths_of_ms);
        return *this;
    }
    Writer &read(uint16_t n)
    {
        out_.push_back(READ);
        le16(n);
        return *this;
    }
    Writer &read_all()
    {
        out_.push_back(READ_ALL);
        return *this;
    }
    Writer &fail(FailKind which, uint16_t n = 0)
    {
        out_.push_back(FAIL);
        out_.push_back(which);
        le16(n);
        return *this;
    }
    const std::vector<uint8_t> &bytes() const { return out_; }

private:
    void le16(uint16_t v)
    {
        out_.push_back(static_cast<uint8_t>(v));
        out_.push_back(static_cast<uint8_t>(v >> 8));
    }
    void le32(uint32_t v)
    {
        le16(static_cast<uint16_t>(v));
        le16(static_cast<uint16_t>(v >> 16));
    }
    std::vector<uint8_t> out_;
};

}  // namespace grab_input

#endif
