// The fixture of the end-to-end tests: a scratch working directory per test,
// the emulated bus, one run of the real tool against it, and readers for what
// it left behind.
#pragma once

#include "emulated_bus.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace emulated_module {

// Machines running the suite in parallel are noisy: a delay may run late by
// this much, never early.
constexpr int64_t LATE_TOLERANCE_US = 300000;
// libusb starts a transfer's time-out clock before the URB reaches the module,
// so the module sees a time-out short by the time the submission took (a
// fraction of a millisecond, a few on a loaded machine).
constexpr int64_t SUBMIT_LATENCY_US = 10000;

extern const char *const CAPTURE_NAMES[4];  // bg1.bin, bg2.bin, bg3.bin, hand1.bin

// The operator prompt, 63 bytes of UTF-8.
extern const char *const OPERATOR_PROMPT_LINE;

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the tool once against `scenario`; the run's wire log stays
    // available through wire() and transfers().
    const ToolRun &run_tool(const Scenario &scenario,
                            const std::vector<std::string> &extra_environment = {});

    std::string work_dir() const { return work_dir_; }
    std::string capture_dir() const { return work_dir_ + "/captures"; }
    std::string capture_path(const std::string &name) const { return capture_dir() + "/" + name; }
    bool capture_exists(const std::string &name) const;
    Bytes read_capture(const std::string &name) const;
    // Files in the capture directory, sorted; empty when it does not exist.
    std::vector<std::string> capture_dir_entries() const;
    void write_capture(const std::string &name, const Bytes &content) const;

    const WireLog &wire() const { return bus_->wire(); }
    std::vector<Transfer> transfers() const { return bus_->wire().transfers(); }
    std::vector<Transfer> transfers_on(uint8_t endpoint) const;
    // The run as a chat, one line per operation on the module (device 0
    // unless told), e.g. "OUT 0x03 6b b6 b6 6b: ok", "IN 0x81 70000: ok 1056",
    // "IN 0x82 4096: cancelled", "clear_halt 0x03".
    std::vector<std::string> trace(int device = 0) const;
    // When stdout line `text` arrived; fails the test if it never did.
    int64_t line_time(const std::string &text) const;

    ToolRun run_;

private:
    std::string work_dir_;
    std::unique_ptr<EmulatedBus> bus_;
};

Bytes command_bytes(uint32_t word, uint32_t second, size_t length);
Bytes read_file(const std::string &path);
// The chat of a healthy command exchange.
std::vector<std::string> command_chat(uint32_t word, size_t length = 4);
void append(std::vector<std::string> &chat, const std::vector<std::string> &more);
std::string frame_line(uint32_t total, uint32_t cnt, unsigned type, unsigned avg_hint);

}  // namespace emulated_module
