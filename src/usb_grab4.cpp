// usb_grab4: one capture run of the USB palm-imaging camera module.
//
// Finds the module by its vendor id, configures it, plays the fixed start-up
// script of command words, stores three background frames, asks the operator
// for a palm, waits ten seconds, stores the palm frame, sends the closing
// command and exits.  Every frame goes whole, header included, into a file of
// its own.  Every USB operation is a synchronous libusb call with a time-out.

#include <libusb.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifndef USB_GRAB4_CAPTURE_DIR
#ifdef _WIN32
#define USB_GRAB4_CAPTURE_DIR "C:/Users/QVM/AppData/Local/Temp/gristmill/"
#else
#define USB_GRAB4_CAPTURE_DIR "/tmp/gristmill/"
#endif
#endif

namespace {

// --- identification and configuration ---
constexpr uint16_t DEVICE_VID = 0x833C;
constexpr int FIRST_CONFIGURATION = 2;
constexpr int WORKING_CONFIGURATION = 1;
constexpr int INTERFACE_NUMBER = 0;

// --- endpoints ---
constexpr unsigned char COMMAND_ENDPOINT = 0x03;  // bulk OUT: command words
constexpr unsigned char REPLY_ENDPOINT = 0x82;    // bulk IN: one reply per command
constexpr unsigned char FRAME_ENDPOINT = 0x81;    // bulk IN: the frame stream

// --- command words: 0x6BB6B6 followed by the command code ---
constexpr uint32_t CMD_6B = 0x6BB6B66B;
constexpr uint32_t CMD_6C = 0x6BB6B66C;
constexpr uint32_t CMD_6F = 0x6BB6B66F;
constexpr uint32_t CMD_72 = 0x6BB6B672;  // the only one with a second word
constexpr uint32_t CMD_73 = 0x6BB6B673;  // starts the frame stream
constexpr uint32_t CMD_74 = 0x6BB6B674;  // closing command
constexpr int COMMAND_ONLY_LENGTH = 4;
constexpr int COMMAND_WITH_PARAMETER_LENGTH = 8;
constexpr int COMMAND_BUFFER_SIZE = 8;
constexpr int REPLY_BUFFER_SIZE = 4096;

// --- time-outs ---
constexpr unsigned COMMAND_TIMEOUT_MS = 2000;
constexpr unsigned FRAME_READ_TIMEOUT_MS = 1000;
constexpr auto GRAB_GIVE_UP_AFTER = std::chrono::seconds(5);

// --- frame layout (little-endian fields) ---
constexpr unsigned char FRAME_SYNC[4] = {0x1B, 0xB1, 0xB1, 0x1B};
constexpr int SYNC_SEARCH_STEP = 4;
constexpr int CNT_OFFSET = 4;
constexpr int DATA_LEN_OFFSET = 8;
constexpr int TYPE_OFFSET = 12;
constexpr int AVG_HINT_OFFSET = 28;
constexpr int HEADER_PEEK_SIZE = 28;  // bytes needed before data_len is looked at
constexpr uint32_t HEADER_SIZE = 56;
constexpr uint32_t MAX_DATA_LEN = 50000;
constexpr int FRAME_BUFFER_SIZE = 70000;
constexpr int FILL_LIMIT = 50000;  // reading goes on only below this fill count

// --- capture files ---
constexpr char CAPTURE_DIR[] = USB_GRAB4_CAPTURE_DIR;
constexpr char BG1_PATH[] = USB_GRAB4_CAPTURE_DIR "bg1.bin";
constexpr char BG2_PATH[] = USB_GRAB4_CAPTURE_DIR "bg2.bin";
constexpr char BG3_PATH[] = USB_GRAB4_CAPTURE_DIR "bg3.bin";
constexpr char HAND1_PATH[] = USB_GRAB4_CAPTURE_DIR "hand1.bin";
constexpr int PATH_BUFFER_SIZE = 4096;
constexpr int TEMP_NAME_ATTEMPTS = 100;
static_assert(sizeof(CAPTURE_DIR) > 1 && (CAPTURE_DIR[sizeof(CAPTURE_DIR) - 2] == '/' ||
                                          CAPTURE_DIR[sizeof(CAPTURE_DIR) - 2] == '\\'),
              "the capture directory must end in a path separator");

// --- operator prompt and script delays ---
constexpr char OPERATOR_PROMPT[] =
    ">>> \xE7\x8E\xB0\xE5\x9C\xA8\xE6\x8A\x8A\xE6\x89\x8B\xE6\x8E\x8C\xE6\x94\xBE\xE5\x88\xB0"
    "\xE9\x95\x9C\xE5\xA4\xB4\xE5\x89\x8D,10 \xE7\xA7\x92\xE5\x90\x8E\xE8\x87\xAA\xE5\x8A\xA8"
    "\xE6\x8A\x93\xE6\x89\x8B\xE6\x8E\x8C\xE5\xB8\xA7\n";
static_assert(sizeof(OPERATOR_PROMPT) - 1 == 63, "the prompt is 63 bytes of UTF-8");
constexpr int AFTER_CMD_72_MS = 300;
constexpr int AFTER_CMD_73_MS = 500;
constexpr int BETWEEN_BACKGROUNDS_MS = 800;
constexpr int PALM_WAIT_MS = 10000;
constexpr int AFTER_HALT_CLEAR_MS = 100;

// Every line goes out at once: the operator reads the prompt during the wait,
// and a pipe sees each line when it happens.
void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

void pause_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void put_le32(unsigned char *at, uint32_t value)
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
    at[2] = static_cast<unsigned char>(value >> 16);
    at[3] = static_cast<unsigned char>(value >> 24);
}

uint32_t get_le32(const unsigned char *at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

unsigned get_le16(const unsigned char *at)
{
    return static_cast<unsigned>(at[0]) | static_cast<unsigned>(at[1]) << 8;
}

// Sends one command of `length` bytes on the command endpoint, then drains the
// module's reply.  The reply's content is of no interest, but it has to be read
// so the module is ready for the next command.
int sendcmd(libusb_device_handle *handle, uint32_t word, uint32_t second, int length)
{
    if (length < 0 || length > COMMAND_BUFFER_SIZE)
        return LIBUSB_ERROR_INVALID_PARAM;

    unsigned char command[COMMAND_BUFFER_SIZE] = {};
    put_le32(command, word);
    if (length >= COMMAND_WITH_PARAMETER_LENGTH)
        put_le32(command + 4, second);

    int moved = 0;
    int status = libusb_bulk_transfer(handle, COMMAND_ENDPOINT, command, length, &moved,
                                      COMMAND_TIMEOUT_MS);
    if (status != 0)
        return status;

    unsigned char reply[REPLY_BUFFER_SIZE];
    return libusb_bulk_transfer(handle, REPLY_ENDPOINT, reply, REPLY_BUFFER_SIZE, &moved,
                                COMMAND_TIMEOUT_MS);
}

// The module only ever starts a frame on a 4-byte boundary of the stream, so
// the sync bytes are looked for at multiples of 4 and nowhere else.
int find_sync(const unsigned char *buffer, int fill)
{
    for (int at = 0; at + 4 <= fill; at += SYNC_SEARCH_STEP)
        if (std::memcmp(buffer + at, FRAME_SYNC, sizeof FRAME_SYNC) == 0)
            return at;
    return -1;
}

bool is_separator(char c)
{
    return c == '/' || c == '\\';
}

// Creates every missing directory on the way to `path` (private to the
// operator where the system has file modes), so that a frame is never lost for
// want of a folder.
bool make_parent_directories(const char *path)
{
    char prefix[PATH_BUFFER_SIZE];
    size_t length = std::strlen(path);
    if (length >= sizeof prefix) {
        say("cannot create %s: %s\n", path, std::strerror(ENAMETOOLONG));
        return false;
    }
    size_t start = 1;
    if (length > 2 && path[1] == ':')  // a drive letter is no directory to create
        start = 3;
    for (size_t i = start; i < length; ++i) {
        if (!is_separator(path[i]))
            continue;
        std::memcpy(prefix, path, i);
        prefix[i] = '\0';
#ifdef _WIN32
        // A new folder inherits the access list of its parent, the operator's
        // own Temp folder, which only the operator (and administrators) can read.
        int made = _mkdir(prefix);
#else
        int made = mkdir(prefix, 0700);
        if (made == 0)
            chmod(prefix, 0700);  // the umask must not widen or narrow it
#endif
        if (made != 0 && errno != EEXIST) {
            say("cannot create directory %s: %s\n", prefix, std::strerror(errno));
            return false;
        }
    }
    return true;
}

// Opens a new, private temporary file beside `path`: "<path>.tmp", or
// "<path>.tmp1" and on when that name is taken.  It is created exclusively, so
// nothing planted at its name (a symlink above all) can divert the frame.
int create_temp_file(const char *path, char *temp_path, size_t temp_size)
{
    for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
        int n = attempt == 0 ? std::snprintf(temp_path, temp_size, "%s.tmp", path)
                             : std::snprintf(temp_path, temp_size, "%s.tmp%d", path, attempt);
        if (n < 0 || static_cast<size_t>(n) >= temp_size) {
            errno = ENAMETOOLONG;
            return -1;
        }
#ifdef _WIN32
        // The capture directory is the operator's own Temp folder, which other
        // users cannot enter, and plain users cannot make symlinks.
        int fd = _open(temp_path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                       _S_IREAD | _S_IWRITE);
#else
        int fd = open(temp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            fchmod(fd, 0600);  // whatever the umask
#endif
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool write_all(int fd, const unsigned char *bytes, size_t size)
{
    while (size > 0) {
#ifdef _WIN32
        int n = _write(fd, bytes, static_cast<unsigned>(size));
#else
        ssize_t n = write(fd, bytes, size);
#endif
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool finish_file(int fd)
{
#ifdef _WIN32
    bool synced = _commit(fd) == 0;
    return _close(fd) == 0 && synced;
#else
    bool synced = fsync(fd) == 0;
    return close(fd) == 0 && synced;
#endif
}

bool replace_file(const char *temp_path, const char *path)
{
#ifdef _WIN32
    if (MoveFileExA(temp_path, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
#else
    return std::rename(temp_path, path) == 0;
#endif
}

void remove_file(const char *path)
{
#ifdef _WIN32
    _unlink(path);
#else
    unlink(path);
#endif
}

// Stores one whole frame at `path`.  The frame goes to a temporary file that is
// renamed over the target only once every byte is written and the file is
// closed, so a failure (disk full, unwritable folder) leaves an earlier capture
// exactly as it was and no partial file behind.
bool store_frame(const unsigned char *frame, size_t size, const char *path)
{
    if (!make_parent_directories(path))
        return false;

    char temp_path[PATH_BUFFER_SIZE];
    int fd = create_temp_file(path, temp_path, sizeof temp_path);
    if (fd < 0) {
        say("cannot create %s: %s\n", path, std::strerror(errno));
        return false;
    }
    bool written = write_all(fd, frame, size);
    int write_error = errno;
    bool closed = finish_file(fd);
    int close_error = errno;
    if (!written || !closed) {
        remove_file(temp_path);
        say("cannot write %s: %s\n", path, std::strerror(written ? close_error : write_error));
        return false;
    }
    if (!replace_file(temp_path, path)) {
        int rename_error = errno;
        remove_file(temp_path);
        say("cannot replace %s: %s\n", path, std::strerror(rename_error));
        return false;
    }
    return true;
}

int ms_left_until(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(left.count());
}

// Reads the frame stream until one whole frame is at the front of the buffer,
// then stores it at `path`.  Returns 0 when a frame was stored, -1 otherwise.
int grab(libusb_device_handle *handle, const char *path)
{
    unsigned char frame[FRAME_BUFFER_SIZE];
    int fill = 0;
    // A module that streams bytes without a frame, or completes reads with no
    // bytes at all, would keep the loop going forever without this bound.
    auto give_up_at = std::chrono::steady_clock::now() + GRAB_GIVE_UP_AFTER;

    while (fill < FILL_LIMIT) {
        int left_ms = ms_left_until(give_up_at);
        if (left_ms <= 0)
            break;
        unsigned timeout_ms = left_ms < static_cast<int>(FRAME_READ_TIMEOUT_MS)
                                  ? static_cast<unsigned>(left_ms)
                                  : FRAME_READ_TIMEOUT_MS;
        int got = 0;
        int status = libusb_bulk_transfer(handle, FRAME_ENDPOINT, frame + fill,
                                          FRAME_BUFFER_SIZE - fill, &got, timeout_ms);
        if (status != 0) {
            say("read: %s\n", libusb_error_name(status));
            break;
        }
        fill += got;

        int sync_at = find_sync(frame, fill);
        if (sync_at < 0) {
            fill = 0;
            continue;
        }
        if (sync_at > 0) {
            std::memmove(frame, frame + sync_at, static_cast<size_t>(fill - sync_at));
            fill -= sync_at;
        }
        if (fill < HEADER_PEEK_SIZE)
            continue;
        uint32_t data_len = get_le32(frame + DATA_LEN_OFFSET);
        if (data_len > MAX_DATA_LEN || static_cast<uint32_t>(fill) < HEADER_SIZE + data_len)
            continue;

        uint32_t total = HEADER_SIZE + data_len;
        if (!store_frame(frame, total, path))
            return -1;
        say("frame: total=%u cnt=%u type=%u avg_hint=%u\n", total,
            static_cast<unsigned>(get_le32(frame + CNT_OFFSET)),
            static_cast<unsigned>(frame[TYPE_OFFSET]), get_le16(frame + AVG_HINT_OFFSET));
        return 0;
    }
    say("no complete frame for %s\n", path);
    return -1;
}

// What an operator can do about a module that is present but will not open.
const char *open_failure_hint(int status)
{
    switch (status) {
    case LIBUSB_ERROR_ACCESS:
        return "install the udev rule for the module or run with permission to the device";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "bind the WinUSB driver to the module (for example with Zadig)";
    case LIBUSB_ERROR_BUSY:
        return "another program holds the module; close it and try again";
    default:
        return "unplug the module, plug it in again and retry";
    }
}

// The first module in bus order that opens; null when there is none.
libusb_device_handle *open_module(libusb_context *context)
{
    libusb_device **devices = nullptr;
    ssize_t count = libusb_get_device_list(context, &devices);
    libusb_device_handle *handle = nullptr;
    for (ssize_t i = 0; i < count && handle == nullptr; ++i) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(devices[i], &descriptor) != 0 ||
            descriptor.idVendor != DEVICE_VID)
            continue;
        int status = libusb_open(devices[i], &handle);
        if (status != 0) {
            handle = nullptr;
            std::fprintf(stderr, "cannot open module %04x:%04x on bus %u address %u: %s: %s\n",
                         descriptor.idVendor, descriptor.idProduct,
                         libusb_get_bus_number(devices[i]), libusb_get_device_address(devices[i]),
                         libusb_error_name(status), open_failure_hint(status));
        }
    }
    if (count >= 0)
        libusb_free_device_list(devices, 1);  // an opened handle keeps its own reference
    return handle;
}

void prepare_console()
{
#ifdef _WIN32
    // The prompt is UTF-8: a console shows it only with the UTF-8 code page.
    // Text mode would turn "\n" into "\r\n"; the bytes stay the ones given here.
    if (_isatty(_fileno(stdout)))
        SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace

int main(int, char **)
{
    prepare_console();

    libusb_context *context = nullptr;
    int status = libusb_init(&context);
    if (status != 0) {
        say("cannot initialise libusb: %s\n", libusb_error_name(status));
        return 1;
    }

    libusb_device_handle *handle = open_module(context);
    if (handle == nullptr) {
        say("no device\n");
        libusb_exit(context);
        return 1;
    }

    libusb_set_configuration(handle, FIRST_CONFIGURATION);
    libusb_set_configuration(handle, WORKING_CONFIGURATION);
    libusb_claim_interface(handle, INTERFACE_NUMBER);

    sendcmd(handle, CMD_6B, 0, COMMAND_ONLY_LENGTH);
    sendcmd(handle, CMD_6C, 0, COMMAND_ONLY_LENGTH);
    sendcmd(handle, CMD_6F, 0, COMMAND_ONLY_LENGTH);
    sendcmd(handle, CMD_72, 0, COMMAND_WITH_PARAMETER_LENGTH);
    pause_ms(AFTER_CMD_72_MS);
    sendcmd(handle, CMD_73, 0, COMMAND_ONLY_LENGTH);
    pause_ms(AFTER_CMD_73_MS);

    grab(handle, BG1_PATH);
    pause_ms(BETWEEN_BACKGROUNDS_MS);
    grab(handle, BG2_PATH);
    pause_ms(BETWEEN_BACKGROUNDS_MS);
    grab(handle, BG3_PATH);

    say("%s", OPERATOR_PROMPT);
    pause_ms(PALM_WAIT_MS);
    grab(handle, HAND1_PATH);

    libusb_clear_halt(handle, COMMAND_ENDPOINT);
    libusb_clear_halt(handle, REPLY_ENDPOINT);
    pause_ms(AFTER_HALT_CLEAR_MS);
    sendcmd(handle, CMD_74, 0, COMMAND_ONLY_LENGTH);

    libusb_close(handle);
    libusb_exit(context);
    say("done\n");
    return 0;
}
