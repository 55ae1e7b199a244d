// A libusb-1.0.dll of our own for trying usb_grab4.exe without the module:
// it plays the emulated module (tests/emulated_module) behind the libusb calls
// the tool makes, so the very .exe that runs with the real libusb-1.0.dll can
// be run under wine and checked byte for byte.
//
// EMULATED_MODULE_SCENARIO names the scenario (default healthy_module); an
// unknown name makes libusb_init fail, so a typo never quietly tests the
// healthy module.  EMULATED_MODULE_WIRE_LOG, when set, names a file that gets
// one line per operation as it happens (emulated_module::describe), stamped in
// milliseconds since libusb_init.
//
// Only the calls usb_grab4 makes are here; windows/libusb-1.0.def lists them.
// They behave as libusb documents them where the tool could tell the
// difference: I/O needs the interface claimed, a transfer the module never
// completes ends with LIBUSB_ERROR_TIMEOUT once its time-out has passed, and
// completion states map to errors as libusb's synchronous calls map them.

#include <libusb.h>

#include "module_model.h"
#include "scenarios.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using emulated_module::Bytes;
using emulated_module::Completion;
using emulated_module::UrbStatus;
using emulated_module::WireEvent;
using emulated_module::WireOp;

namespace {

constexpr const char *SCENARIO_VARIABLE = "EMULATED_MODULE_SCENARIO";
constexpr const char *WIRE_LOG_VARIABLE = "EMULATED_MODULE_WIRE_LOG";
constexpr const char *DEFAULT_SCENARIO = "healthy_module";
constexpr uint8_t BUS_NUMBER = 1;
constexpr uint8_t CONFIGURATION_COUNT = 2;  // the tool sets 2, then 1
constexpr int ONLY_INTERFACE = 0;

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

// One device of the scenario.  It lives as long as its context, so a handle
// never outlives it and the model keeps its state from one open to the next,
// as a real module would.
struct libusb_device {
    libusb_context *context = nullptr;
    int index = 0;  // in the scenario's device list
    emulated_module::BusDevice bus_device;
    emulated_module::ModuleModel model;
    std::mutex mutex;  // the model is not thread-safe; libusb calls may be

    libusb_device(libusb_context *owner, int at, const emulated_module::BusDevice &device)
        : context(owner), index(at), bus_device(device), model(device.behaviour)
    {
    }
};

struct libusb_device_handle {
    libusb_device *device = nullptr;
    bool interface_claimed = false;
};

struct libusb_context {
    emulated_module::Scenario scenario;
    std::vector<std::unique_ptr<libusb_device>> devices;
    FILE *wire_log = nullptr;
    int64_t started_us = 0;
    std::mutex log_mutex;

    ~libusb_context()
    {
        if (wire_log != nullptr)
            std::fclose(wire_log);
    }

    void log(WireEvent event)
    {
        if (wire_log == nullptr)
            return;
        event.at_us = emulated_module::monotonic_us() - started_us;
        std::string line = emulated_module::describe(event) + "\n";
        std::lock_guard<std::mutex> lock(log_mutex);
        std::fputs(line.c_str(), wire_log);
        std::fflush(wire_log);  // a crash or a hang still leaves the log so far
    }
};

namespace {

// The context of libusb_init(NULL), shared by every call that passes NULL.
libusb_context *default_context = nullptr;
int default_context_users = 0;
std::mutex default_context_mutex;

WireEvent event_for(const libusb_device *device, WireOp op)
{
    WireEvent event;
    event.device = device->index;
    event.op = op;
    return event;
}

int error_for(UrbStatus status)
{
    switch (status) {
    case UrbStatus::ok: return LIBUSB_SUCCESS;
    case UrbStatus::stall: return LIBUSB_ERROR_PIPE;
    case UrbStatus::io_error: return LIBUSB_ERROR_IO;
    case UrbStatus::overflow: return LIBUSB_ERROR_OVERFLOW;
    case UrbStatus::no_device: return LIBUSB_ERROR_NO_DEVICE;
    case UrbStatus::cancelled: return LIBUSB_ERROR_IO;  // what libusb makes of a cancelled transfer
    }
    return LIBUSB_ERROR_OTHER;
}

int new_context(libusb_context **made)
{
    std::string name = environment(SCENARIO_VARIABLE);
    if (name.empty())
        name = DEFAULT_SCENARIO;
    auto context = std::make_unique<libusb_context>();
    if (!emulated_module::find_scenario(name, context->scenario)) {
        std::fprintf(stderr, "stand-in libusb: no scenario called \"%s\"\n", name.c_str());
        return LIBUSB_ERROR_OTHER;
    }
    std::string log_path = environment(WIRE_LOG_VARIABLE);
    if (!log_path.empty()) {
        context->wire_log = std::fopen(log_path.c_str(), "ab");
        if (context->wire_log == nullptr) {
            std::fprintf(stderr, "stand-in libusb: cannot open wire log %s\n", log_path.c_str());
            return LIBUSB_ERROR_OTHER;
        }
    }
    context->started_us = emulated_module::monotonic_us();
    const std::vector<emulated_module::BusDevice> &devices = context->scenario.devices;
    for (size_t i = 0; i < devices.size(); ++i)
        context->devices.push_back(
            std::make_unique<libusb_device>(context.get(), static_cast<int>(i), devices[i]));
    *made = context.release();
    return LIBUSB_SUCCESS;
}

libusb_context *context_or_default(libusb_context *context)
{
    if (context != nullptr)
        return context;
    std::lock_guard<std::mutex> lock(default_context_mutex);
    return default_context;
}

}  // namespace

int LIBUSB_CALL libusb_init(libusb_context **context)
{
    if (context != nullptr)
        return new_context(context);
    std::lock_guard<std::mutex> lock(default_context_mutex);
    if (default_context == nullptr) {
        int status = new_context(&default_context);
        if (status != LIBUSB_SUCCESS)
            return status;
    }
    ++default_context_users;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context *context)
{
    if (context == nullptr) {
        std::lock_guard<std::mutex> lock(default_context_mutex);
        if (default_context != nullptr && --default_context_users == 0) {
            delete default_context;
            default_context = nullptr;
        }
        return;
    }
    delete context;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *context, libusb_device ***list)
{
    context = context_or_default(context);
    if (context == nullptr || list == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    size_t count = context->devices.size();
    libusb_device **devices = new libusb_device *[count + 1];
    for (size_t i = 0; i < count; ++i)
        devices[i] = context->devices[i].get();
    devices[count] = nullptr;
    *list = devices;
    return static_cast<ssize_t>(count);
}

// The devices belong to the context, so unreferencing them is a no-op here.
void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int)
{
    delete[] list;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *device,
                                             struct libusb_device_descriptor *descriptor)
{
    if (device == nullptr || descriptor == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    *descriptor = {};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->bDeviceClass = LIBUSB_CLASS_VENDOR_SPEC;
    descriptor->bMaxPacketSize0 = 64;
    descriptor->idVendor = device->bus_device.vid;
    descriptor->idProduct = device->bus_device.pid;
    descriptor->bcdDevice = 0x0100;
    descriptor->bNumConfigurations = CONFIGURATION_COUNT;
    return LIBUSB_SUCCESS;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *)
{
    return BUS_NUMBER;
}

// Address 1 is the root hub's on a real bus; the scenario's devices follow it.
uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *device)
{
    return static_cast<uint8_t>(device->index + 2);
}

int LIBUSB_CALL libusb_open(libusb_device *device, libusb_device_handle **handle)
{
    if (device == nullptr || handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        if (device->model.unplugged())
            return LIBUSB_ERROR_NO_DEVICE;
    }
    // On Windows a device that libusb cannot open is one without the WinUSB
    // driver, and that is what libusb says about it.
    if (!device->bus_device.openable)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    *handle = new libusb_device_handle{device, false};
    device->context->log(event_for(device, WireOp::open));
    return LIBUSB_SUCCESS;
}

// libusb releases an interface still claimed when its handle is closed; that
// release is what the wire log shows of a close.
void LIBUSB_CALL libusb_close(libusb_device_handle *handle)
{
    if (handle == nullptr)
        return;
    if (handle->interface_claimed) {
        WireEvent event = event_for(handle->device, WireOp::release_interface);
        event.value = ONLY_INTERFACE;
        handle->device->context->log(event);
    }
    delete handle;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *handle, int configuration)
{
    if (handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device *device = handle->device;
    WireEvent event = event_for(device, WireOp::set_configuration);
    event.value = configuration;
    int status = LIBUSB_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        if (device->model.unplugged())
            status = LIBUSB_ERROR_NO_DEVICE;
        else if (handle->interface_claimed)
            status = LIBUSB_ERROR_BUSY;
        else if (configuration > CONFIGURATION_COUNT || configuration < -1)
            status = LIBUSB_ERROR_NOT_FOUND;
    }
    if (status == LIBUSB_ERROR_NO_DEVICE)
        event.status = UrbStatus::no_device;
    device->context->log(event);
    return status;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *handle, int interface_number)
{
    if (handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device *device = handle->device;
    WireEvent event = event_for(device, WireOp::claim_interface);
    event.value = interface_number;
    int status = LIBUSB_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        if (device->model.unplugged())
            status = LIBUSB_ERROR_NO_DEVICE;
        else if (interface_number != ONLY_INTERFACE)
            status = LIBUSB_ERROR_NOT_FOUND;
        else
            handle->interface_claimed = true;
    }
    if (status == LIBUSB_ERROR_NO_DEVICE)
        event.status = UrbStatus::no_device;
    device->context->log(event);
    return status;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint,
                                     unsigned char *data, int length, int *transferred,
                                     unsigned int timeout)
{
    if (transferred != nullptr)
        *transferred = 0;
    if (handle == nullptr || length < 0 || (data == nullptr && length > 0))
        return LIBUSB_ERROR_INVALID_PARAM;
    // libusb on Windows finds no open interface for an endpoint of an
    // unclaimed one and refuses the transfer.
    if (!handle->interface_claimed)
        return LIBUSB_ERROR_NOT_FOUND;

    libusb_device *device = handle->device;
    bool in = (endpoint & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
    Bytes out;
    if (!in)
        out.assign(data, data + length);
    uint32_t requested = static_cast<uint32_t>(length);

    WireEvent submitted = event_for(device, WireOp::submit);
    submitted.endpoint = endpoint;
    submitted.requested = requested;
    submitted.bytes = out;
    device->context->log(submitted);

    std::optional<Completion> completion;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        completion = device->model.submit(endpoint, out, requested);
    }

    WireEvent completed = event_for(device, WireOp::complete);
    completed.endpoint = endpoint;
    if (!completion) {
        // The module never completes it: libusb waits out the time-out, then
        // cancels.  A time-out of 0 means no limit, so that wait never ends.
        if (timeout == 0)
            for (;;)
                std::this_thread::sleep_for(std::chrono::hours(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
        completed.status = UrbStatus::cancelled;
        device->context->log(completed);
        return LIBUSB_ERROR_TIMEOUT;
    }

    uint32_t actual = std::min(completion->actual_length, requested);
    if (in) {
        size_t copied = std::min<size_t>(actual, completion->in_data.size());
        std::memcpy(data, completion->in_data.data(), copied);
    }
    if (transferred != nullptr)
        *transferred = static_cast<int>(actual);

    completed.status = completion->status;
    completed.actual_length = completion->actual_length;
    completed.bytes = completion->in_data;
    device->context->log(completed);
    return error_for(completion->status);
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *handle, unsigned char endpoint)
{
    if (handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!handle->interface_claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    libusb_device *device = handle->device;
    WireEvent event = event_for(device, WireOp::clear_halt);
    event.endpoint = endpoint;
    bool cleared;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        cleared = device->model.clear_halt(endpoint);
    }
    if (!cleared)
        event.status = UrbStatus::no_device;
    device->context->log(event);
    return cleared ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

// The names libusb itself gives, transfer states included.
const char *LIBUSB_CALL libusb_error_name(int error)
{
    switch (error) {
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    case LIBUSB_TRANSFER_ERROR: return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT: return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED: return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL: return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE: return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW: return "LIBUSB_TRANSFER_OVERFLOW";
    case 0: return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    default: return "**UNKNOWN**";
    }
}
