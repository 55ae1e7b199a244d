// The devices of a scenario on an emulated USB bus, at the level of Linux's
// usbfs, and a program (the real usb_grab4 with the real libusb) run against
// them as a child process.
//
// umockdev provides the sysfs tree and the device nodes; its preload library in
// the child forwards each usbfs ioctl on a node to this process, where the
// device's ModuleModel answers it.  Nodes of devices that cannot be opened are
// refused by a small preload library of our own (deny_open).
#pragma once

#include "module_model.h"

#include <memory>
#include <string>
#include <vector>

namespace emulated_module {

struct OutputLine {
    int64_t at_us = 0;  // when the line reached us, monotonic clock
    std::string text;   // without its newline
};

struct ToolRun {
    int exit_status = -1;  // -1: killed by a signal or never started
    int signal = 0;
    bool timed_out = false;
    std::string out;  // standard output, byte for byte
    std::string err;  // standard error
    std::vector<OutputLine> out_lines;
    int64_t started_us = 0;
    int64_t ended_us = 0;
};

class EmulatedBus {
public:
    explicit EmulatedBus(const Scenario &scenario);
    ~EmulatedBus();
    EmulatedBus(const EmulatedBus &) = delete;
    EmulatedBus &operator=(const EmulatedBus &) = delete;

    // Empty when the emulation can run here; otherwise why not (no umockdev
    // preload library on this system, for example).
    static std::string unavailable_reason();

    // Runs `program` without arguments in `working_dir` against the bus, with
    // `extra_environment` ("NAME=value") added, and waits for it to end
    // (killing it after `limit_s` seconds).
    ToolRun run(const std::string &program, const std::string &working_dir,
                const std::vector<std::string> &extra_environment = {}, int limit_s = 90);

    const WireLog &wire() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace emulated_module
