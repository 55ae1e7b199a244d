#include "module_model.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

namespace emulated_module {

const char *status_name(UrbStatus status)
{
    switch (status) {
    case UrbStatus::ok: return "ok";
    case UrbStatus::stall: return "stall";
    case UrbStatus::io_error: return "io_error";
    case UrbStatus::overflow: return "overflow";
    case UrbStatus::no_device: return "no_device";
    case UrbStatus::cancelled: return "cancelled";
    }
    return "?";
}

const char *op_name(WireOp op)
{
    switch (op) {
    case WireOp::open: return "open";
    case WireOp::set_configuration: return "set_configuration";
    case WireOp::claim_interface: return "claim_interface";
    case WireOp::release_interface: return "release_interface";
    case WireOp::submit: return "submit";
    case WireOp::complete: return "complete";
    case WireOp::clear_halt: return "clear_halt";
    }
    return "?";
}

namespace {

void put_le32(Bytes &bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get_le32(const Bytes &bytes, size_t at)
{
    uint32_t value = 0;
    for (int i = 0; i < 4 && at + i < bytes.size(); ++i)
        value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    return value;
}

Completion complete_with(UrbStatus status)
{
    return Completion{status, 0, {}};
}

}  // namespace

Bytes make_frame(const FrameHeader &header, uint32_t data_len)
{
    return make_frame(header, data_len, data_len);
}

Bytes make_frame(const FrameHeader &header, uint32_t data_len, uint32_t declared_data_len)
{
    Bytes frame(FRAME_HEADER_SIZE + data_len);
    frame[0] = 0x1B;
    frame[1] = 0xB1;
    frame[2] = 0xB1;
    frame[3] = 0x1B;
    put_le32(frame, 4, header.cnt);
    put_le32(frame, 8, declared_data_len);
    frame[12] = header.type;
    for (size_t i = 13; i < FRAME_HEADER_SIZE; ++i)
        frame[i] = static_cast<uint8_t>(0xC0 + i);
    frame[28] = static_cast<uint8_t>(header.avg_hint);
    frame[29] = static_cast<uint8_t>(header.avg_hint >> 8);
    for (uint32_t i = 0; i < data_len; ++i)
        frame[FRAME_HEADER_SIZE + i] = static_cast<uint8_t>(i * 7 + header.cnt);
    return frame;
}

std::vector<FrameRead> split_reads(const Bytes &stream, const std::vector<size_t> &chunk_sizes)
{
    std::vector<FrameRead> reads;
    size_t at = 0;
    for (size_t size : chunk_sizes) {
        size = std::min(size, stream.size() - at);
        reads.push_back(data_read(Bytes(stream.begin() + at, stream.begin() + at + size)));
        at += size;
    }
    if (at < stream.size())
        reads.push_back(data_read(Bytes(stream.begin() + at, stream.end())));
    return reads;
}

FrameRead data_read(const Bytes &bytes)
{
    return FrameRead{FrameRead::Kind::data, bytes, UrbStatus::ok, false};
}

FrameRead zero_length_read()
{
    return FrameRead{FrameRead::Kind::zero_length, {}, UrbStatus::ok, false};
}

FrameRead timeout_read()
{
    return FrameRead{FrameRead::Kind::never_completes, {}, UrbStatus::ok, false};
}

FrameRead error_read(UrbStatus status)
{
    return FrameRead{FrameRead::Kind::error, {}, status, false};
}

FrameRead unplug_read()
{
    return FrameRead{FrameRead::Kind::unplug, {}, UrbStatus::no_device, false};
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

ModuleModel::ModuleModel(ModuleBehaviour behaviour)
    : behaviour_(std::move(behaviour)),
      frame_reads_(behaviour_.frame_reads.begin(), behaviour_.frame_reads.end())
{
}

const CommandRule &ModuleModel::rule_for(uint32_t word) const
{
    for (const CommandBehaviour &command : behaviour_.commands)
        if (command.word == word)
            return command.rule;
    return behaviour_.default_rule;
}

std::optional<Completion> ModuleModel::submit(uint8_t endpoint, const Bytes &out, uint32_t length)
{
    if (unplugged_)
        return complete_with(UrbStatus::no_device);
    switch (endpoint) {
    case COMMAND_ENDPOINT: return command(out);
    case REPLY_ENDPOINT: return reply();
    case FRAME_ENDPOINT: return frame_read(length);
    default: return complete_with(UrbStatus::stall);  // no such endpoint
    }
}

bool ModuleModel::clear_halt(uint8_t endpoint)
{
    if (unplugged_)
        return false;
    if (endpoint == COMMAND_ENDPOINT)
        command_endpoint_halted_ = false;
    return true;
}

std::optional<Completion> ModuleModel::command(const Bytes &out)
{
    if (command_endpoint_halted_)
        return complete_with(UrbStatus::stall);
    const CommandRule &rule = rule_for(get_le32(out, 0));
    switch (rule.outcome) {
    case CommandOutcome::stall:
        command_endpoint_halted_ = true;
        return complete_with(UrbStatus::stall);
    case CommandOutcome::never_answered:
        return std::nullopt;
    case CommandOutcome::accepted:
        break;
    }
    pending_reply_ = rule;
    return Completion{UrbStatus::ok, static_cast<uint32_t>(out.size()), {}};
}

std::optional<Completion> ModuleModel::reply()
{
    if (!pending_reply_ || !pending_reply_->replies)
        return std::nullopt;
    Bytes bytes = pending_reply_->reply;
    pending_reply_.reset();
    if (bytes.size() > MAX_REPLY_LENGTH)
        return complete_with(UrbStatus::overflow);
    uint32_t size = static_cast<uint32_t>(bytes.size());
    return Completion{UrbStatus::ok, size, std::move(bytes)};
}

std::optional<Completion> ModuleModel::frame_read(uint32_t length)
{
    if (frame_reads_.empty())
        return std::nullopt;
    FrameRead &next = frame_reads_.front();
    FrameRead taken = next;
    if (taken.kind == FrameRead::Kind::data && taken.bytes.size() > length) {
        // A bulk read ends when the host's buffer is full; the rest of the
        // chunk is what the next read gets.
        taken.bytes.resize(length);
        if (!next.forever)
            next.bytes.erase(next.bytes.begin(), next.bytes.begin() + length);
    } else if (!next.forever) {
        frame_reads_.pop_front();
    }

    switch (taken.kind) {
    case FrameRead::Kind::data: {
        uint32_t size = static_cast<uint32_t>(taken.bytes.size());
        return Completion{UrbStatus::ok, size, std::move(taken.bytes)};
    }
    case FrameRead::Kind::zero_length: return Completion{UrbStatus::ok, 0, {}};
    case FrameRead::Kind::never_completes: return std::nullopt;
    case FrameRead::Kind::error: return complete_with(taken.error);
    case FrameRead::Kind::unplug:
        unplugged_ = true;
        return complete_with(UrbStatus::no_device);
    }
    return std::nullopt;
}

// steady_clock is CLOCK_MONOTONIC on Linux, so stamps taken here compare with
// those of other processes on the same machine.
int64_t monotonic_us()
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::microseconds>(now).count();
}

std::string hex(const Bytes &bytes, const char *separator)
{
    std::string text;
    char pair[3];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += separator;
        text += pair;
    }
    return text;
}

std::string describe(const WireEvent &event)
{
    char line[160];
    std::snprintf(line, sizeof line, "%10.3f ms dev%d %-17s ep=0x%02x value=%d requested=%u %s len=%u",
                  static_cast<double>(event.at_us) / 1000.0, event.device, op_name(event.op),
                  event.endpoint, event.value, event.requested, status_name(event.status),
                  event.actual_length);
    std::string text = line;
    for (size_t i = 0; i < event.bytes.size() && i < 16; ++i) {
        std::snprintf(line, sizeof line, " %02x", event.bytes[i]);
        text += line;
    }
    if (event.bytes.size() > 16)
        text += " ...";
    return text;
}

void WireLog::record(WireEvent event)
{
    if (event.at_us == 0)
        event.at_us = monotonic_us();
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
}

std::vector<WireEvent> WireLog::events() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void WireLog::record_submit(int device, uint64_t urb_id, uint8_t endpoint, uint32_t requested,
                            const Bytes &out, int64_t at_us)
{
    WireEvent event;
    event.at_us = at_us != 0 ? at_us : monotonic_us();
    event.device = device;
    event.op = WireOp::submit;
    event.endpoint = endpoint;
    event.requested = requested;
    event.bytes = out;

    Transfer transfer;
    transfer.endpoint = endpoint;
    transfer.requested = requested;
    transfer.out = out;
    transfer.submitted_us = event.at_us;

    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    open_urbs_.emplace_back(urb_id, transfers_.size());
    transfers_.push_back(std::move(transfer));
}

void WireLog::record_completion(int device, uint64_t urb_id, const Completion &completion)
{
    WireEvent event;
    event.at_us = monotonic_us();
    event.device = device;
    event.op = WireOp::complete;
    event.status = completion.status;
    event.actual_length = completion.actual_length;
    event.bytes = completion.in_data;

    std::lock_guard<std::mutex> lock(mutex_);
    auto open = std::find_if(open_urbs_.begin(), open_urbs_.end(),
                             [&](const auto &entry) { return entry.first == urb_id; });
    if (open != open_urbs_.end()) {
        Transfer &transfer = transfers_[open->second];
        event.endpoint = transfer.endpoint;
        transfer.completed = true;
        transfer.status = completion.status;
        transfer.actual_length = completion.actual_length;
        transfer.in = completion.in_data;
        transfer.completed_us = event.at_us;
        open_urbs_.erase(open);
    }
    events_.push_back(std::move(event));
}

std::vector<Transfer> WireLog::transfers() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return transfers_;
}

std::string WireLog::dump() const
{
    std::vector<WireEvent> all = events();
    std::string text;
    int64_t start = all.empty() ? 0 : all.front().at_us;
    for (WireEvent event : all) {
        event.at_us -= start;
        text += describe(event) + "\n";
    }
    return text;
}

}  // namespace emulated_module
