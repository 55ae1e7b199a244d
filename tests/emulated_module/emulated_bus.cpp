#include "emulated_bus.h"

#include <umockdev.h>

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#ifndef UMOCKDEV_PRELOAD_LIBRARY
#define UMOCKDEV_PRELOAD_LIBRARY "libumockdev-preload.so.0"
#endif
#ifndef DENY_OPEN_LIBRARY
#define DENY_OPEN_LIBRARY ""
#endif

namespace emulated_module {

namespace {

constexpr int PIPE_CAPACITY = 4096;

// What the kernel reports in an URB's status for each way a transfer ends.
int urb_errno(UrbStatus status)
{
    switch (status) {
    case UrbStatus::ok: return 0;
    case UrbStatus::stall: return -EPIPE;
    case UrbStatus::io_error: return -EPROTO;
    case UrbStatus::overflow: return -EOVERFLOW;
    case UrbStatus::no_device: return -ESHUTDOWN;
    case UrbStatus::cancelled: return -ECONNRESET;
    }
    return -EIO;
}

// Device descriptor and two configurations (values 1 and 2), each with
// interface 0 and the module's three bulk endpoints.
Bytes descriptors(uint16_t vid, uint16_t pid)
{
    Bytes bytes = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40,
                   static_cast<uint8_t>(vid), static_cast<uint8_t>(vid >> 8),
                   static_cast<uint8_t>(pid), static_cast<uint8_t>(pid >> 8),
                   0x00, 0x01, 0x01, 0x02, 0x03, 0x02};
    for (uint8_t configuration : {1, 2}) {
        Bytes config = {0x09, 0x02, 0x27, 0x00, 0x01, configuration, 0x00, 0x80, 0x32,
                        0x09, 0x04, 0x00, 0x00, 0x03, 0xFF, 0x00, 0x00, 0x00,
                        0x07, 0x05, FRAME_ENDPOINT, 0x02, 0x00, 0x02, 0x00,
                        0x07, 0x05, REPLY_ENDPOINT, 0x02, 0x00, 0x02, 0x00,
                        0x07, 0x05, COMMAND_ENDPOINT, 0x02, 0x00, 0x02, 0x00};
        bytes.insert(bytes.end(), config.begin(), config.end());
    }
    return bytes;
}

// One URB between its submission and the host reaping it.
struct Urb {
    uint64_t id = 0;
    gulong client_addr = 0;
    UMockdevIoctlData *urb = nullptr;     // the client's struct usbdevfs_urb
    UMockdevIoctlData *buffer = nullptr;  // its data buffer, as far as it is used
    uint32_t length = 0;
    Completion completion;
};

}  // namespace

// One device node, served from umockdev's worker thread.
struct Device {
    WireLog *wire = nullptr;
    int index = 0;
    std::string devnode;
    ModuleModel model;
    UMockdevIoctlBase *handler = nullptr;
    int readiness_fd = -1;  // the node is a FIFO: kept full unless an URB is reapable
    uint64_t next_urb_id = 1;
    std::vector<Urb> flying;
    std::deque<Urb> reapable;

    Device(WireLog *log, int i, std::string node, ModuleBehaviour behaviour)
        : wire(log), index(i), devnode(std::move(node)), model(std::move(behaviour))
    {
    }

    void record(WireOp op, uint8_t endpoint = 0, int value = 0)
    {
        WireEvent event;
        event.device = index;
        event.op = op;
        event.endpoint = endpoint;
        event.value = value;
        wire->record(std::move(event));
    }

    // libusb waits in poll() for the node to become writable, which is how
    // usbfs says that an URB can be reaped.
    void update_readiness()
    {
        char scratch[PIPE_CAPACITY];
        if (reapable.empty()) {
            std::memset(scratch, 0, sizeof scratch);
            while (write(readiness_fd, scratch, sizeof scratch) > 0) {
            }
        } else {
            while (read(readiness_fd, scratch, sizeof scratch) > 0) {
            }
        }
    }

    // Only the bytes delivered are fetched from and written back to the
    // host's buffer: a frame read asks for 70000 bytes and gets far fewer.
    void finish(Urb urb, const Completion &completion)
    {
        auto *header = reinterpret_cast<usbdevfs_urb *>(urb.urb->data);
        size_t size = std::min(completion.in_data.size(), static_cast<size_t>(urb.length));
        if (size > 0 && urb.buffer == nullptr)
            urb.buffer = umockdev_ioctl_data_resolve(urb.urb, offsetof(usbdevfs_urb, buffer),
                                                     size, nullptr);
        header->status = urb_errno(completion.status);
        header->actual_length = static_cast<int>(completion.actual_length);
        if (size > 0 && urb.buffer != nullptr) {
            std::memcpy(urb.buffer->data, completion.in_data.data(), size);
            header->actual_length = static_cast<int>(size);
        }
        urb.completion = completion;
        reapable.push_back(urb);
        update_readiness();
    }

    bool submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        if (model.unplugged()) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return true;
        }
        int64_t submitted_us = monotonic_us();
        Urb urb;
        urb.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (urb.urb == nullptr)
            return false;
        g_object_ref(urb.urb);
        auto *header = reinterpret_cast<usbdevfs_urb *>(urb.urb->data);
        uint32_t length = static_cast<uint32_t>(header->buffer_length);
        uint8_t endpoint = header->endpoint;
        urb.length = length;
        urb.client_addr = urb.urb->client_addr;
        urb.id = next_urb_id++;

        Bytes out;
        if (!(endpoint & 0x80) && length > 0) {
            urb.buffer = umockdev_ioctl_data_resolve(urb.urb, offsetof(usbdevfs_urb, buffer),
                                                     length, nullptr);
            if (urb.buffer != nullptr)
                out.assign(urb.buffer->data, urb.buffer->data + length);
        }
        wire->record_submit(index, urb.id, endpoint, length, out, submitted_us);

        std::optional<Completion> completion = model.submit(endpoint, out, length);
        if (completion)
            finish(urb, *completion);
        else
            flying.push_back(urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }

    bool reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        if (reapable.empty()) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return true;
        }
        Urb urb = reapable.front();
        reapable.pop_front();
        UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
        if (slot == nullptr)
            return false;
        umockdev_ioctl_data_set_ptr(slot, 0, urb.urb);
        g_object_unref(urb.urb);
        // Logged as the host takes it: that is when the tool can go on.
        wire->record_completion(index, urb.id, urb.completion);
        update_readiness();
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }

    // The host gave up on an URB (its time-out fired): it comes back cancelled.
    bool discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        gulong addr = *reinterpret_cast<gulong *>(arg->data);
        for (auto it = flying.begin(); it != flying.end(); ++it) {
            if (it->client_addr != addr)
                continue;
            Urb urb = *it;
            flying.erase(it);
            finish(urb, Completion{UrbStatus::cancelled, 0, {}});
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }

    // SETCONFIGURATION, CLAIMINTERFACE, RELEASEINTERFACE, CLEAR_HALT: one
    // unsigned int passed by pointer.
    bool simple(UMockdevIoctlClient *client, UMockdevIoctlData *arg, WireOp op)
    {
        UMockdevIoctlData *value = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        if (value == nullptr)
            return false;
        unsigned number = *reinterpret_cast<unsigned *>(value->data);
        bool present = !model.unplugged();
        if (op == WireOp::clear_halt) {
            record(op, static_cast<uint8_t>(number));
            present = model.clear_halt(static_cast<uint8_t>(number));
        } else {
            record(op, 0, static_cast<int>(number));
        }
        if (present)
            umockdev_ioctl_client_complete(client, 0, 0);
        else
            umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }

    bool capabilities(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        if (caps == nullptr)
            return false;
        // Scatter-gather lets libusb submit each transfer as a single URB.
        *reinterpret_cast<uint32_t *>(caps->data) = USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                                    USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                                    USBDEVFS_CAP_ZERO_PACKET;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }

    bool handle(UMockdevIoctlClient *client)
    {
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        switch (umockdev_ioctl_client_get_request(client)) {
        case USBDEVFS_GET_CAPABILITIES: return capabilities(client, arg);
        case USBDEVFS_SETCONFIGURATION: return simple(client, arg, WireOp::set_configuration);
        case USBDEVFS_CLAIMINTERFACE: return simple(client, arg, WireOp::claim_interface);
        case USBDEVFS_RELEASEINTERFACE: return simple(client, arg, WireOp::release_interface);
        case USBDEVFS_CLEAR_HALT: return simple(client, arg, WireOp::clear_halt);
        case USBDEVFS_SUBMITURB: return submit(client, arg);
        case USBDEVFS_REAPURBNDELAY: return reap(client, arg);
        case USBDEVFS_DISCARDURB: return discard(client, arg);
        default:
            std::fprintf(stderr, "emulated module: unexpected ioctl 0x%lx on %s\n",
                         umockdev_ioctl_client_get_request(client), devnode.c_str());
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return true;
        }
    }
};

namespace {

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer device)
{
    return static_cast<Device *>(device)->handle(client) ? TRUE : FALSE;
}

void on_connected(UMockdevIoctlBase *, UMockdevIoctlClient *, gpointer device)
{
    static_cast<Device *>(device)->record(WireOp::open);
}

}  // namespace

struct EmulatedBus::Impl {
    WireLog wire;
    UMockdevTestbed *testbed = nullptr;
    std::string root;
    std::vector<std::unique_ptr<Device>> devices;
    std::string denied_nodes;  // colon-separated, for deny_open

    void add_device(int index, int count, const BusDevice &spec);
};

// libusb lists devices in reverse order of their sysfs names, so the first
// device of the scenario gets the highest port number.
void EmulatedBus::Impl::add_device(int index, int count, const BusDevice &spec)
{
    int port = count - index;
    int devnum = port + 1;
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    auto device = std::make_unique<Device>(&wire, index, node, spec.behaviour);

    device->handler = umockdev_ioctl_base_new();
    g_signal_connect(device->handler, "handle-ioctl", G_CALLBACK(on_ioctl), device.get());
    g_signal_connect(device->handler, "client-connected", G_CALLBACK(on_connected), device.get());
    GError *error = nullptr;
    // The handler goes first, so the node is served from the moment it exists.
    if (!umockdev_testbed_attach_ioctl(testbed, node, device->handler, &error))
        throw std::runtime_error(std::string("umockdev attach_ioctl: ") + error->message);

    char record[2048];
    std::snprintf(record, sizeof record,
                  "P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d\n"
                  "N: bus/usb/001/%03d\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DEVNAME=%s\n"
                  "E: BUSNUM=001\n"
                  "E: DEVNUM=%03d\n"
                  "A: busnum=1\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: speed=480\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: bNumConfigurations=2\\n\n"
                  "A: idVendor=%04x\\n\n"
                  "A: idProduct=%04x\\n\n"
                  "H: descriptors=%s\n",
                  port, devnum, node, devnum, devnum, spec.vid, spec.pid,
                  hex(descriptors(spec.vid, spec.pid)).c_str());
    if (!umockdev_testbed_add_from_string(testbed, record, &error))
        throw std::runtime_error(std::string("umockdev add device: ") + error->message);

    // umockdev leaves a plain file as the node, which poll() always reports
    // ready; a FIFO gives libusb a real signal for reapable URBs.
    std::string path = root + node;
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0)
        throw std::runtime_error("mkfifo " + path + ": " + std::strerror(errno));
    device->readiness_fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (device->readiness_fd < 0)
        throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    fcntl(device->readiness_fd, F_SETPIPE_SZ, PIPE_CAPACITY);
    device->update_readiness();

    if (!spec.openable)
        denied_nodes += (denied_nodes.empty() ? "" : ":") + std::string(node);
    devices.push_back(std::move(device));
}

EmulatedBus::EmulatedBus(const Scenario &scenario) : impl_(std::make_unique<Impl>())
{
    impl_->testbed = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(impl_->testbed);
    impl_->root = root;
    g_free(root);
    int count = static_cast<int>(scenario.devices.size());
    for (int i = 0; i < count; ++i)
        impl_->add_device(i, count, scenario.devices[i]);
}

EmulatedBus::~EmulatedBus()
{
    for (auto &device : impl_->devices) {
        umockdev_testbed_detach_ioctl(impl_->testbed, device->devnode.c_str(), nullptr);
        g_object_unref(device->handler);
        if (device->readiness_fd >= 0)
            close(device->readiness_fd);
        for (Urb &urb : device->flying)
            g_object_unref(urb.urb);
        for (Urb &urb : device->reapable)
            g_object_unref(urb.urb);

    }
    g_object_unref(impl_->testbed);
}

const WireLog &EmulatedBus::wire() const
{
    return impl_->wire;
}

std::string EmulatedBus::unavailable_reason()
{
    std::string preload = UMOCKDEV_PRELOAD_LIBRARY;
    if (preload.empty() || access(preload.c_str(), R_OK) != 0)
        return "umockdev's preload library is not installed (" + preload + ")";
    return "";
}

namespace {

void split_lines(ToolRun &run, size_t &consumed)
{
    size_t newline;
    while ((newline = run.out.find('\n', consumed)) != std::string::npos) {
        run.out_lines.push_back({monotonic_us(), run.out.substr(consumed, newline - consumed)});
        consumed = newline + 1;
    }
}

// Collects the child's standard output and error until both close or the
// time limit passes.
void collect_output(ToolRun &run, int out_fd, int err_fd, int64_t deadline_us)
{
    size_t consumed = 0;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_count = 2;
    char chunk[4096];
    while (open_count > 0) {
        int64_t left_ms = (deadline_us - monotonic_us()) / 1000;
        if (left_ms <= 0) {
            run.timed_out = true;
            return;
        }
        if (poll(fds, 2, static_cast<int>(left_ms)) < 0 && errno != EINTR)
            return;
        for (pollfd &entry : fds) {
            if (entry.fd < 0 || entry.revents == 0)
                continue;
            ssize_t n = read(entry.fd, chunk, sizeof chunk);
            if (n <= 0) {
                entry.fd = -1;
                --open_count;
                continue;
            }
            std::string &sink = entry.fd == out_fd ? run.out : run.err;
            sink.append(chunk, static_cast<size_t>(n));
            if (entry.fd == out_fd)
                split_lines(run, consumed);
        }
    }
}

}  // namespace

ToolRun EmulatedBus::run(const std::string &program, const std::string &working_dir,
                         const std::vector<std::string> &extra_environment, int limit_s)
{
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        std::string setting = *entry;
        if (setting.rfind("LD_PRELOAD=", 0) != 0 && setting.rfind("UMOCKDEV_DIR=", 0) != 0)
            environment.push_back(setting);
    }
    std::string preload = UMOCKDEV_PRELOAD_LIBRARY;
    if (!impl_->denied_nodes.empty()) {
        preload = std::string(DENY_OPEN_LIBRARY) + ":" + preload;
        environment.push_back("EMULATED_MODULE_DENY_OPEN=" + impl_->denied_nodes);
    }
    environment.push_back("LD_PRELOAD=" + preload);
    environment.push_back("UMOCKDEV_DIR=" + impl_->root);
    for (const std::string &setting : extra_environment)
        environment.push_back(setting);
    std::vector<char *> envp;
    for (std::string &setting : environment)
        envp.push_back(&setting[0]);
    envp.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    // Only async-signal-safe calls between fork and exec: the emulator's
    // worker thread is running.
    ToolRun run;
    run.started_us = monotonic_us();
    pid_t child = fork();
    if (child == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0)
            dup2(null_fd, STDIN_FILENO);
        if (chdir(working_dir.c_str()) != 0)
            _exit(126);
        char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (child < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));

    collect_output(run, out_pipe[0], err_pipe[0], run.started_us + int64_t{limit_s} * 1000000);
    if (run.timed_out)
        kill(child, SIGKILL);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.ended_us = monotonic_us();
    if (WIFEXITED(status))
        run.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    return run;
}

}  // namespace emulated_module
