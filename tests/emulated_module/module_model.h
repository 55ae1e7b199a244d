// The emulated palm-imaging camera module, independent of how the host reaches
// it.  A scenario says which devices are on the bus and how the module answers:
// per command word, what happens to the OUT transfer and which reply follows on
// 0x82; and a queue of completions for the reads on the frame endpoint 0x81.
//
// ModuleModel plays one device of a scenario: a transport adapter (the usbfs
// emulator under umockdev, or the stand-in libusb DLL for Windows) hands it
// every submitted transfer and gets back how and when it completes.  WireLog
// records what crossed the wire, with monotonic timestamps, for the tests.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace emulated_module {

using Bytes = std::vector<uint8_t>;

// --- the module's side of the protocol ---
constexpr uint16_t MODULE_VID = 0x833C;
constexpr uint16_t MODULE_PID = 0x0001;  // any product id is the module
constexpr uint8_t COMMAND_ENDPOINT = 0x03;
constexpr uint8_t REPLY_ENDPOINT = 0x82;
constexpr uint8_t FRAME_ENDPOINT = 0x81;
constexpr uint32_t MAX_REPLY_LENGTH = 4096;
// The command words of a capture run, in the order the host sends them.
constexpr uint32_t CMD_6B = 0x6BB6B66B, CMD_6C = 0x6BB6B66C, CMD_6F = 0x6BB6B66F,
                   CMD_72 = 0x6BB6B672, CMD_73 = 0x6BB6B673, CMD_74 = 0x6BB6B674;

// How a transfer ends, as the host controller would report it.
enum class UrbStatus {
    ok,
    stall,      // endpoint halted (-EPIPE, LIBUSB_ERROR_PIPE)
    io_error,   // protocol error on the bus (-EPROTO, LIBUSB_ERROR_IO)
    overflow,   // device sent more than asked for (-EOVERFLOW, LIBUSB_ERROR_OVERFLOW)
    no_device,  // module unplugged (-ESHUTDOWN / ENODEV, LIBUSB_ERROR_NO_DEVICE)
    cancelled,  // discarded by the host, e.g. its time-out fired (-ECONNRESET)
};
const char *status_name(UrbStatus status);

enum class CommandOutcome {
    accepted,        // taken whole, then the reply (if any) is ready on 0x82
    stall,           // the command endpoint halts until the host clears it
    never_answered,  // the OUT transfer never completes
};

struct CommandRule {
    CommandOutcome outcome = CommandOutcome::accepted;
    bool replies = true;  // false: the read on 0x82 never completes
    Bytes reply;          // empty with replies == true: a zero-length reply
};

struct CommandBehaviour {
    uint32_t word = 0;
    CommandRule rule;
};

// One completion of a read on the frame endpoint.
struct FrameRead {
    enum class Kind {
        data,             // `bytes` (at most the requested length per read; the rest waits)
        zero_length,      // completes at once with no bytes
        never_completes,  // the host's time-out fires
        error,            // completes with `error`
        unplug,           // the module disappears: this and every later operation fails
    };
    Kind kind = Kind::data;
    Bytes bytes;
    UrbStatus error = UrbStatus::io_error;
    bool forever = false;  // repeat this completion for every later read
};

struct ModuleBehaviour {
    CommandRule default_rule{CommandOutcome::accepted, true, {0x00, 0x00, 0x00, 0x00}};
    std::vector<CommandBehaviour> commands;  // rules for particular words
    std::vector<FrameRead> frame_reads;      // in order; when used up, reads never complete
};

struct BusDevice {
    uint16_t vid = MODULE_VID;
    uint16_t pid = MODULE_PID;
    bool openable = true;
    ModuleBehaviour behaviour;
};

// Devices in the order the host lists them.
struct Scenario {
    std::string name;
    std::vector<BusDevice> devices;
};

// --- building frames and streams ---
struct FrameHeader {
    uint32_t cnt = 1;
    uint8_t type = 0;
    uint16_t avg_hint = 0;
};
constexpr uint32_t FRAME_HEADER_SIZE = 56;
// A whole frame: the 56-byte header (sync, cnt, data_len, type, avg_hint,
// other header bytes a fixed pattern) and `data_len` data bytes that cycle
// through every byte value, 0x0A, 0x0D and 0x1A included.
Bytes make_frame(const FrameHeader &header, uint32_t data_len);
Bytes make_frame(const FrameHeader &header, uint32_t data_len, uint32_t declared_data_len);
// Reads that deliver `stream` in chunks of the given sizes, the rest in one.
std::vector<FrameRead> split_reads(const Bytes &stream, const std::vector<size_t> &chunk_sizes);
FrameRead data_read(const Bytes &bytes);
FrameRead zero_length_read();
FrameRead timeout_read();
FrameRead error_read(UrbStatus status);
FrameRead unplug_read();
Bytes concat(std::initializer_list<Bytes> parts);

// --- one device of a scenario, as the host sees it ---
struct Completion {
    UrbStatus status = UrbStatus::ok;
    uint32_t actual_length = 0;
    Bytes in_data;  // for IN transfers: the bytes delivered
};

class ModuleModel {
public:
    explicit ModuleModel(ModuleBehaviour behaviour);

    // A transfer submitted on `endpoint`; for OUT, `out` holds its bytes, for
    // IN, `length` is the number asked for.  Returns the completion, or
    // nothing when the transfer stays pending until the host discards it.
    std::optional<Completion> submit(uint8_t endpoint, const Bytes &out, uint32_t length);
    // Returns false once the module is unplugged.
    bool clear_halt(uint8_t endpoint);
    bool unplugged() const { return unplugged_; }

private:
    std::optional<Completion> command(const Bytes &out);
    std::optional<Completion> reply();
    std::optional<Completion> frame_read(uint32_t length);
    const CommandRule &rule_for(uint32_t word) const;

    ModuleBehaviour behaviour_;
    std::deque<FrameRead> frame_reads_;
    std::optional<CommandRule> pending_reply_;
    bool command_endpoint_halted_ = false;
    bool unplugged_ = false;
};

// --- what crossed the wire ---
enum class WireOp {
    open,               // the host opened the device node
    set_configuration,  // value: the configuration
    claim_interface,    // value: the interface
    release_interface,
    submit,      // endpoint, requested, bytes (OUT)
    complete,    // the host took the completed transfer: status, IN data, actual length
    clear_halt,  // endpoint
};
const char *op_name(WireOp op);

struct WireEvent {
    int64_t at_us = 0;  // monotonic clock, microseconds
    int device = 0;     // index in the scenario's device list
    WireOp op = WireOp::open;
    uint8_t endpoint = 0;
    int value = 0;
    uint32_t requested = 0;
    UrbStatus status = UrbStatus::ok;
    uint32_t actual_length = 0;
    Bytes bytes;
};
std::string describe(const WireEvent &event);
// The bytes in hex, each preceded by `separator` ("" gives "1bb1b11b").
std::string hex(const Bytes &bytes, const char *separator = "");

// One transfer from submission to completion (or to the end of the run).
struct Transfer {
    uint8_t endpoint = 0;
    uint32_t requested = 0;
    Bytes out;
    bool completed = false;
    UrbStatus status = UrbStatus::ok;
    uint32_t actual_length = 0;
    Bytes in;
    int64_t submitted_us = 0;
    int64_t completed_us = 0;
};

int64_t monotonic_us();

class WireLog {
public:
    void record(WireEvent event);  // stamps the time when at_us is 0
    std::vector<WireEvent> events() const;
    // The transfers in order of submission; the adapter pairs each completion
    // with its submission through `urb_id`.
    void record_submit(int device, uint64_t urb_id, uint8_t endpoint, uint32_t requested,
                       const Bytes &out, int64_t at_us = 0);
    void record_completion(int device, uint64_t urb_id, const Completion &completion);
    std::vector<Transfer> transfers() const;
    std::string dump() const;

private:
    mutable std::mutex mutex_;
    std::vector<WireEvent> events_;
    std::vector<std::pair<uint64_t, size_t>> open_urbs_;  // urb id -> index in transfers_
    std::vector<Transfer> transfers_;
};

}  // namespace emulated_module
