// What a complete usb_grab4 run against the healthy emulated module must
// leave behind, worked out on the build machine from the same model the
// stand-in libusb-1.0.dll plays, so the Windows check hard-codes no frame.
//
//   expected_run DIR
//
// writes into DIR (which must exist):
//   bg1.bin bg2.bin bg3.bin hand1.bin  the frames of healthy_frames(), whole
//   stdout                             the tool's standard output
//   wire                               the wire log the stand-in writes for
//                                      the run, every stamp 0
//
// The wire log comes from playing the tool's fixed script (configurations,
// command words and their reply reads, one read per frame since each frame
// arrives in a single completion, halt clearing, the closing command, the
// release at close) against a fresh ModuleModel and describing each operation
// as the stand-in does.

#include "module_model.h"
#include "scenarios.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using emulated_module::Bytes;
using emulated_module::WireEvent;
using emulated_module::WireOp;

namespace {

// What the tool asks of the module.
constexpr uint32_t REPLY_READ_LENGTH = 4096;
constexpr uint32_t FRAME_READ_LENGTH = 70000;  // its whole frame buffer, still empty
constexpr char PROMPT[] = ">>> 现在把手掌放到镜头前,10 秒后自动抓手掌帧\n";
constexpr const char *CAPTURE_NAMES[] = {"bg1.bin", "bg2.bin", "bg3.bin", "hand1.bin"};

uint32_t le32(const Bytes &bytes, size_t at)
{
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

bool write_file(const std::string &path, const void *bytes, size_t size)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    bool written = std::fwrite(bytes, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

Bytes command_word(uint32_t word, size_t length)
{
    Bytes bytes(length, 0);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(word >> (8 * i));
    return bytes;
}

class ScriptPlayer {
public:
    explicit ScriptPlayer(const emulated_module::BusDevice &device) : model_(device.behaviour) {}

    void plain(WireOp op, int value = 0)
    {
        WireEvent event;
        event.op = op;
        event.value = value;
        add(event);
    }

    void clear_halt(uint8_t endpoint)
    {
        WireEvent event;
        event.op = WireOp::clear_halt;
        event.endpoint = endpoint;
        if (!model_.clear_halt(endpoint))
            event.status = emulated_module::UrbStatus::no_device;
        add(event);
    }

    void transfer(uint8_t endpoint, const Bytes &out, uint32_t requested)
    {
        WireEvent submit;
        submit.op = WireOp::submit;
        submit.endpoint = endpoint;
        submit.requested = requested;
        submit.bytes = out;
        add(submit);

        WireEvent complete;
        complete.op = WireOp::complete;
        complete.endpoint = endpoint;
        std::optional<emulated_module::Completion> done = model_.submit(endpoint, out, requested);
        if (done) {
            complete.status = done->status;
            complete.actual_length = done->actual_length;
            complete.bytes = done->in_data;
        } else {
            complete.status = emulated_module::UrbStatus::cancelled;
        }
        add(complete);
    }

    void command(uint32_t word, size_t length)
    {
        transfer(emulated_module::COMMAND_ENDPOINT, command_word(word, length),
                 static_cast<uint32_t>(length));
        transfer(emulated_module::REPLY_ENDPOINT, {}, REPLY_READ_LENGTH);
    }

    const std::string &text() const { return text_; }

private:
    void add(const WireEvent &event) { text_ += emulated_module::describe(event) + "\n"; }

    emulated_module::ModuleModel model_;
    std::string text_;
};

std::string expected_wire(const emulated_module::BusDevice &device, size_t frame_count)
{
    ScriptPlayer player(device);
    player.plain(WireOp::open);
    player.plain(WireOp::set_configuration, 2);
    player.plain(WireOp::set_configuration, 1);
    player.plain(WireOp::claim_interface, 0);
    player.command(0x6BB6B66B, 4);
    player.command(0x6BB6B66C, 4);
    player.command(0x6BB6B66F, 4);
    player.command(0x6BB6B672, 8);
    player.command(0x6BB6B673, 4);
    for (size_t i = 0; i < frame_count; ++i)
        player.transfer(emulated_module::FRAME_ENDPOINT, {}, FRAME_READ_LENGTH);
    player.clear_halt(emulated_module::COMMAND_ENDPOINT);
    player.clear_halt(emulated_module::REPLY_ENDPOINT);
    player.command(0x6BB6B674, 4);
    player.plain(WireOp::release_interface, 0);  // by libusb_close
    return player.text();
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    std::string dir = std::string(argv[1]) + "/";

    emulated_module::Scenario scenario;
    if (!emulated_module::find_scenario("healthy_module", scenario) ||
        scenario.devices.size() != 1) {
        std::fprintf(stderr, "healthy_module is no longer one device; this needs a rethink\n");
        return 1;
    }
    std::vector<Bytes> frames = emulated_module::healthy_frames();
    if (frames.size() != 4) {
        std::fprintf(stderr, "healthy_frames() holds %zu frames, the tool captures 4\n",
                     frames.size());
        return 1;
    }

    std::string out;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Bytes &frame = frames[i];
        if (!write_file(dir + CAPTURE_NAMES[i], frame.data(), frame.size()))
            return 1;
        char line[128];
        std::snprintf(line, sizeof line, "frame: total=%zu cnt=%u type=%u avg_hint=%u\n",
                      frame.size(), le32(frame, 4), unsigned(frame[12]),
                      unsigned(frame[28]) | unsigned(frame[29]) << 8);
        out += line;
        if (i == 2)
            out += PROMPT;
    }
    out += "done\n";

    std::string wire = expected_wire(scenario.devices[0], frames.size());
    if (!write_file(dir + "stdout", out.data(), out.size()) ||
        !write_file(dir + "wire", wire.data(), wire.size()))
        return 1;
    return 0;
}
