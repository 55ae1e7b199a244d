// fuzz_grab: libFuzzer target for the tool's frame grabber, grab().
//
// The tool's own source is compiled into this translation unit (its helpers
// live in an anonymous namespace, so only the same unit can call them), with
// its main() renamed out of the way.  The real libusb is linked, but this file
// defines libusb_bulk_transfer() as a stand-in for the camera module's frame
// endpoint, which the tool's code calls instead of libusb's.  The tool's steady clock is replaced by a simulated one that the
// stand-in advances, so time-outs and the 5 s give-up are reproducible and
// cost no real time.
//
// INPUT FORMAT
//
// The input is a list of records.  The low three bits of a record's first byte
// are its tag (the other bits are ignored); multi-byte fields are
// little-endian; a field cut off by the end of the input reads as zero.
//
//   tag 0 PUSH_BYTES  u8 n, n bytes       the module gets n more bytes to send
//   tag 1 PUSH_FRAME  u32 data_len, u16 payload, u8 cnt, u8 type, u8 seed
//                     the module gets a frame: sync 1B B1 B1 1B, cnt (LE32),
//                     data_len (LE32), type, 43 more header bytes made from
//                     seed (avg_hint among them), then `payload` bytes made
//                     from seed; payload 0xFFFF means exactly data_len bytes
//                     (so a whole frame survives mutation of data_len)
//   tag 2 PUSH_REPEAT u16 n, u8 value     the module gets n copies of value
//   tag 3 PUSH_SYNC                       the module gets the 4 sync bytes
//   tag 4 DELAY       u16 d               the module answers the next read
//                     after d tenths of a millisecond (up to 6.5 s); if that
//                     is not less than the read's time-out, the read times out
//                     instead (its record is used up, the module's bytes stay
//                     where they are)
//   tag 5 READ        u16 n               one read completes with the next
//                     min(n, bytes the module holds, length asked) bytes;
//                     n = 0 or an empty module gives a zero-length read
//   tag 6 READ_ALL                        one read completes with as many of
//                     the module's bytes as the length asked allows
//   tag 7 FAIL        u8 which, u16 n     one read fails with the status
//                     FAIL_STATUS[which % 9] (time-out, I/O, overflow, no
//                     device, pipe, interrupted, busy, no memory, other); the
//                     next min(n, held, length asked) bytes are written to the
//                     buffer and reported as transferred, as libusb does for a
//                     time-out that caught part of a transfer, and are gone
//                     from the module.  A time-out takes the whole time-out.
//
// PUSH_* and DELAY records are taken as they come until a record that answers
// a read (READ, READ_ALL, FAIL).  When the records are used up, the module
// sends what it still holds, as much as each read asks for, and after that
// every read times out, so every grab ends.  The module holds at most 1 MiB
// per input; bytes pushed beyond that are dropped.
//
// One input drives up to four grab() calls in a row, as one capture run does
// (bg1, bg2, bg3, hand1), on one stream: a grab starts reading where the one
// before stopped.  A further grab starts only while records or held bytes are
// left.
//
// CHECKS (a violation prints what went wrong and aborts)
//
// grab() keeps a buffer that always begins at some position of the stream it
// has read (its "origin"); it looks for the sync bytes only at the origin and
// 4, 8, ... bytes on, moves the first it finds to the front, drops what it
// holds when there is none, and stores the frame at the front once it is
// whole.  (Keeping the 1 to 3 bytes after the last whole 4-byte step instead
// of dropping them, where a sync may begin, passes the checks too.)
//
// On every read: the handle and the frame endpoint are the tool's; the buffer
// pointer lies in the grab's buffer (its address is the one the grab's first
// read passed) and pointer + length stays within its 70000 bytes; the length
// asked is at least 20001 (reading stops at 50000 bytes held); the bytes held
// before the pointer are exactly the last ones the stream delivered; if 4 or
// more, they begin with the first sync on the 4-byte steps from the origin at
// the read before; if fewer, there was no such sync; no read follows a failed
// one; the time-out is at least 1 ms, at most 1000 ms and ends no later than
// the give-up point, 5 s after the call.
//
// After every grab: it took no longer than 5 s; it returned 0 exactly when its
// capture file exists.  A stored file is 56 + data_len bytes with data_len <=
// 50000, begins with the sync bytes and equals the bytes the stream delivered
// (successful reads only) from the first sync on the 4-byte steps from the
// origin on, a frame that the grab's last read completed.  A grab that
// stored nothing holds no whole frame at that sync.  The tool printed exactly
// the one "frame:" line for the file, or on failure exactly "no complete
// frame for PATH" (after "read: NAME" when a read failed).  The capture
// directory holds no file but the captures stored so far (no temporary file
// left behind).
//
// The captures go to /dev/shm/usb_grab4_fuzz.PID/captures/, which is removed
// after every input; a failed check removes it too, and a new process removes
// the ones of processes that are gone (killed by a sanitizer, say).  FUZZ_GRAB_TRACE=1 in the environment prints every read
// and every grab's result to stderr, for looking at single inputs.

#include <libusb.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "grab_input.h"

namespace fuzz_grab {

// The simulated time, in nanoseconds; only the stand-in moves it.
int64_t g_now_ns = 0;

struct Clock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<Clock, duration>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept { return time_point(duration(g_now_ns)); }
};

}  // namespace fuzz_grab

// The tool names its clock std::chrono::steady_clock; within its source that
// name is made to mean the simulated clock.
namespace std::chrono {
using usb_grab4_fuzz_clock = ::fuzz_grab::Clock;
}

#define steady_clock usb_grab4_fuzz_clock
#define main usb_grab4_main
// main() is never run here; its compiled-in capture paths must not point
// anywhere real all the same.
#define USB_GRAB4_CAPTURE_DIR "/dev/shm/usb_grab4_fuzz_unused/"
#include "../src/usb_grab4.cpp"
#undef USB_GRAB4_CAPTURE_DIR
#undef main
#undef steady_clock

namespace fuzz_grab {

using namespace grab_input;

// What the module's frames look like, independent of the tool's constants.
constexpr unsigned char SYNC[4] = {0x1B, 0xB1, 0xB1, 0x1B};
constexpr size_t FRAME_HEADER = 56;
constexpr uint32_t FRAME_MAX_DATA = 50000;

// What grab() promises, written out here rather than taken from the tool's
// constants, so that a changed constant shows up too.
constexpr size_t BUFFER_SIZE = 70000;
constexpr int LEAST_READ = 20001;
constexpr unsigned READ_TIMEOUT_MS = 1000;
constexpr int64_t GIVE_UP_NS = int64_t{5} * 1000 * 1000 * 1000;

constexpr size_t HELD_LIMIT = size_t{1} << 20;
constexpr int64_t START_NS = int64_t{1000} * 1000 * 1000 * 1000;  // arbitrary
constexpr int64_t NS_PER_MS = 1000 * 1000;
constexpr int64_t DELAY_UNIT_NS = 100 * 1000;
constexpr int GRABS_PER_INPUT = 4;
constexpr const char *CAPTURE_NAMES[GRABS_PER_INPUT] = {"bg1.bin", "bg2.bin", "bg3.bin",
                                                        "hand1.bin"};

constexpr std::array<int, FAIL_KINDS> FAIL_STATUS = {
    LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_IO,   LIBUSB_ERROR_OVERFLOW,
    LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_PIPE, LIBUSB_ERROR_INTERRUPTED,
    LIBUSB_ERROR_BUSY,    LIBUSB_ERROR_NO_MEM, LIBUSB_ERROR_OTHER};

bool g_trace = false;
char g_printed_bytes[1 << 16];  // what the tool prints during one grab
FILE *g_printed = nullptr;       // stdout while grab() runs
std::string g_base_dir;     // /dev/shm/usb_grab4_fuzz.PID
std::string g_capture_dir;  // g_base_dir + "/captures"

// Removes base/captures/*, base/captures and base, as far as it can.
void remove_capture_tree(const std::string &base)
{
    std::string captures = base + "/captures";
    if (DIR *dir = opendir(captures.c_str())) {
        while (dirent *entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                unlink((captures + "/" + entry->d_name).c_str());
        closedir(dir);
    }
    rmdir(captures.c_str());
    rmdir(base.c_str());
}

// Removes what fuzz_grab processes that are gone (crashed ones above all) left
// in /dev/shm.
void remove_stale_trees()
{
    const char prefix[] = "usb_grab4_fuzz.";
    DIR *dir = opendir("/dev/shm");
    if (dir == nullptr)
        return;
    while (dirent *entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix, sizeof prefix - 1) != 0)
            continue;
        char *end = nullptr;
        long pid = std::strtol(entry->d_name + sizeof prefix - 1, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == static_cast<long>(getpid()))
            continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            remove_capture_tree(std::string("/dev/shm/") + entry->d_name);
    }
    closedir(dir);
}

[[noreturn]] void fault(const char *format, ...)
{
    std::fprintf(stderr, "fuzz_grab: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    if (!g_base_dir.empty())
        remove_capture_tree(g_base_dir);
    std::abort();
}

void trace(const char *format, ...)
{
    if (!g_trace)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

// The stand-in's own byte loops and comparisons are left out of the coverage
// that steers the fuzzer: they are the harness, not grab(), and going through
// the instrumented memcmp would cost more than grab() itself.
#define NOT_COVERED __attribute__((no_sanitize("coverage")))

// memcmp() == 0 for buffers the caller has checked; no ASan checks either.
NOT_COVERED __attribute__((no_sanitize("address"))) bool same_bytes(const unsigned char *a,
                                                                     const unsigned char *b,
                                                                     size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// The first position origin + 4k (k >= 0) of `stream` that holds the whole
// sync bytes, or SIZE_MAX: where grab() must find a frame when its buffer
// begins at `origin`, as the module puts frames on 4-byte steps.
NOT_COVERED size_t first_sync(const std::vector<uint8_t> &stream, size_t origin)
{
    for (size_t at = origin; at + sizeof SYNC <= stream.size(); at += 4)
        if (same_bytes(stream.data() + at, SYNC, sizeof SYNC))
            return at;
    return SIZE_MAX;
}

uint32_t le32(const unsigned char *at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// What answers one read, as the records say.
struct Answer {
    bool fails;
    int status;        // for a failure
    size_t max_bytes;  // bytes at most, before the module's and the read's limits
    bool flush;        // the records are used up
};

// The camera module as the records describe it.
class Module {
public:
    void reset(const uint8_t *data, size_t size)
    {
        in_ = data;
        size_ = size;
        pos_ = 0;
        held_.clear();
        head_ = 0;
        pushed_ = 0;
        delay_tenths_ = 0;
    }
    bool records_left() const { return pos_ < size_; }
    size_t held() const { return held_.size() - head_; }
    unsigned take_delay()
    {
        unsigned d = delay_tenths_;
        delay_tenths_ = 0;
        return d;
    }
    // Hands out up to n held bytes.
    const uint8_t *take(size_t n)
    {
        const uint8_t *at = held_.data() + head_;
        head_ += n;
        return at;
    }

    Answer next()
    {
        while (pos_ < size_) {
            switch (static_cast<Tag>(in_[pos_++] & TAG_MASK)) {
            case PUSH_BYTES: {
                size_t n = u8();
                size_t avail = size_ - pos_;
                if (n > avail)
                    n = avail;
                push(in_ + pos_, n);
                pos_ += n;
                break;
            }
            case PUSH_FRAME: {
                uint32_t data_len = u32();
                uint16_t payload = u16();
                uint8_t cnt = u8();
                uint8_t type = u8();
                uint8_t seed = u8();
                push_frame(data_len, payload, cnt, type, seed);
                break;
            }
            case PUSH_REPEAT: {
                size_t n = u16();
                uint8_t value = u8();
                held_.insert(held_.end(), room(n), value);
                break;
            }
            case PUSH_SYNC:
                push(SYNC, sizeof SYNC);
                break;
            case DELAY:
                delay_tenths_ = u16();
                break;
            case READ:
                return Answer{false, 0, u16(), false};
            case READ_ALL:
                return Answer{false, 0, SIZE_MAX, false};
            case FAIL: {
                int status = FAIL_STATUS[u8() % FAIL_KINDS];
                return Answer{true, status, u16(), false};
            }
            }
        }
        if (held() > 0)
            return Answer{false, 0, SIZE_MAX, true};
        return Answer{true, LIBUSB_ERROR_TIMEOUT, 0, true};
    }

private:
    uint8_t u8() { return pos_ < size_ ? in_[pos_++] : 0; }
    uint16_t u16()
    {
        uint16_t lo = u8();
        return static_cast<uint16_t>(lo | u8() << 8);
    }
    uint32_t u32()
    {
        uint32_t lo = u16();
        return lo | static_cast<uint32_t>(u16()) << 16;
    }
    // How many of n more bytes the module can still take.
    size_t room(size_t n)
    {
        if (n > HELD_LIMIT - pushed_)
            n = HELD_LIMIT - pushed_;
        pushed_ += n;
        return n;
    }
    void push(const uint8_t *bytes, size_t n)
    {
        held_.insert(held_.end(), bytes, bytes + room(n));
    }
    NOT_COVERED void push_frame(uint32_t data_len, uint16_t payload, uint8_t cnt, uint8_t type,
                                uint8_t seed)
    {
        unsigned char header[FRAME_HEADER];
        std::memcpy(header, SYNC, sizeof SYNC);
        put_le32(header + 4, cnt);
        put_le32(header + 8, data_len);
        header[12] = type;
        for (size_t i = 13; i < FRAME_HEADER; ++i)
            header[i] = static_cast<uint8_t>(seed + i * 29);
        push(header, sizeof header);
        size_t n = payload == WHOLE_PAYLOAD ? (data_len < 0xFFFF ? data_len : 0xFFFF) : payload;
        n = room(n);
        size_t at = held_.size();
        held_.resize(at + n);
        uint8_t *payload_bytes = held_.data() + at;
        for (size_t j = 0; j < n; ++j)
            payload_bytes[j] = static_cast<uint8_t>(seed + j * 7 + (j >> 8));
    }

    const uint8_t *in_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    std::vector<uint8_t> held_;
    size_t head_ = 0;
    size_t pushed_ = 0;
    unsigned delay_tenths_ = 0;
};

// What the stand-in saw during the grab() call under way.
struct GrabWatch {
    bool active = false;
    unsigned char *buffer = nullptr;  // the grab's buffer, from its first read
    int reads = 0;
    int failed_status = 0;            // the status of the read that failed
    std::vector<uint8_t> delivered;   // every byte of its successful reads
    size_t delivered_before_last = 0; // delivered.size() before the last one
    size_t origin = 0;                // where in `delivered` the buffer began at
                                      // the latest read
    int64_t start_ns = 0;
    int64_t give_up_ns = 0;

    // Starts over for the next grab (keeping the memory: fewer allocations
    // make for more executions per second under ASan).
    void reset()
    {
        active = false;
        buffer = nullptr;
        reads = 0;
        failed_status = 0;
        delivered.clear();
        delivered_before_last = 0;
        origin = 0;
        start_ns = give_up_ns = 0;
    }
};

Module g_module;
GrabWatch g_watch;
int g_handle_token;
libusb_device_handle *const HANDLE = reinterpret_cast<libusb_device_handle *>(&g_handle_token);

int bulk_read(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data,
              int length, int *actual_length, unsigned timeout)
{
    GrabWatch &w = g_watch;
    if (!w.active)
        fault("bulk transfer outside grab()");
    if (handle != HANDLE)
        fault("read on a handle that is not the one grab() was given");
    if (endpoint != FRAME_ENDPOINT)
        fault("grab() read endpoint 0x%02x, not the frame endpoint", endpoint);
    if (data == nullptr || actual_length == nullptr)
        fault("read with a null buffer or a null count");
    if (w.failed_status != 0)
        fault("read #%d after a read that failed with %d", w.reads + 1, w.failed_status);
    ++w.reads;
    if (w.buffer == nullptr)
        w.buffer = data;

    // Where the read goes, relative to the buffer of the grab.
    uintptr_t start = reinterpret_cast<uintptr_t>(w.buffer);
    uintptr_t at = reinterpret_cast<uintptr_t>(data);
    if (at < start || at - start >= BUFFER_SIZE)
        fault("read #%d at offset %lld of the buffer", w.reads,
              static_cast<long long>(at - start));
    size_t fill = at - start;
    if (length < LEAST_READ)
        fault("read #%d asks for %d bytes (at offset %zu), fewer than %d", w.reads, length, fill,
              LEAST_READ);
    if (fill + static_cast<size_t>(length) > BUFFER_SIZE)
        fault("read #%d at offset %zu asks for %d bytes: past the %zu-byte buffer", w.reads, fill,
              length, BUFFER_SIZE);

    // What the grab holds must be the stream's latest bytes, sync first.
    if (fill > w.delivered.size())
        fault("read #%d at offset %zu, but the stream delivered only %zu bytes", w.reads, fill,
              w.delivered.size());
    if (!same_bytes(w.buffer, w.delivered.data() + (w.delivered.size() - fill), fill))
        fault("read #%d: the %zu bytes held are not the last ones delivered", w.reads, fill);
    // Since the read before, the grab may have dropped the bytes before the
    // first sync on the buffer's 4-byte steps, or, with no sync there, all of
    // them or all but the 1 to 3 after the last whole step (a sync may begin
    // there, and keeping them keeps the steps in line with the stream).
    size_t origin = w.delivered.size() - fill;
    size_t sync_at = first_sync(w.delivered, w.origin);
    if (fill >= sizeof SYNC && same_bytes(w.buffer, SYNC, sizeof SYNC)) {
        if (origin != sync_at)
            fault("read #%d: the buffer begins at %zu of the stream, not at the first sync on "
                  "its 4-byte steps from %zu",
                  w.reads, origin, w.origin);
    } else if (fill >= sizeof SYNC) {
        fault("read #%d: the %zu bytes held do not begin with the sync bytes", w.reads, fill);
    } else if (sync_at != SIZE_MAX) {
        fault("read #%d: the grab dropped its buffer with sync bytes at %zu (buffer began at "
              "%zu)",
              w.reads, sync_at, w.origin);
    } else if (fill > 0 && (origin < w.origin || (origin - w.origin) % 4 != 0)) {
        fault("read #%d: the %zu bytes kept begin at %zu, off the 4-byte steps from %zu",
              w.reads, fill, origin, w.origin);
    }
    w.origin = origin;

    int64_t left_ns = w.give_up_ns - g_now_ns;
    if (timeout < 1 || timeout > READ_TIMEOUT_MS ||
        static_cast<int64_t>(timeout) * NS_PER_MS > left_ns)
        fault("read #%d has a time-out of %u ms with %lld ns left before giving up", w.reads,
              timeout, static_cast<long long>(left_ns));

    Answer answer = g_module.next();
    int64_t delay_ns = static_cast<int64_t>(g_module.take_delay()) * DELAY_UNIT_NS;
    int64_t timeout_ns = static_cast<int64_t>(timeout) * NS_PER_MS;
    int status = 0;
    size_t n = 0;
    if (delay_ns >= timeout_ns) {
        status = LIBUSB_ERROR_TIMEOUT;
        g_now_ns += timeout_ns;
    } else {
        n = answer.max_bytes;
        if (n > g_module.held())
            n = g_module.held();
        if (n > static_cast<size_t>(length))
            n = static_cast<size_t>(length);
        if (n > 0)
            std::memcpy(data, g_module.take(n), n);
        if (answer.fails) {
            status = answer.status;
        } else {
            w.delivered_before_last = w.delivered.size();
            w.delivered.insert(w.delivered.end(), data, data + n);
        }
        g_now_ns += status == LIBUSB_ERROR_TIMEOUT ? timeout_ns : delay_ns;
    }
    *actual_length = static_cast<int>(n);
    if (status != 0)
        w.failed_status = status;
    trace("  read #%d at %zu len %d timeout %u%s -> %s, %zu bytes\n", w.reads, fill, length,
          timeout, answer.flush ? " (records used up)" : "",
          status == 0 ? "ok" : libusb_error_name(status), n);
    return status;
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

const std::vector<uint8_t> &read_file(const std::string &path)
{
    static std::vector<uint8_t> bytes;
    bytes.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fault("cannot open %s: %s", path.c_str(), std::strerror(errno));
    for (;;) {
        size_t had = bytes.size();
        bytes.resize(had + 65536);
        ssize_t n = read(fd, bytes.data() + had, 65536);
        bytes.resize(had + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fault("cannot read %s: %s", path.c_str(), std::strerror(errno));
        if (n == 0)
            break;
    }
    close(fd);
    return bytes;
}

// Removes everything in the capture directory and the directory itself.
void clean_captures()
{
    DIR *dir = opendir(g_capture_dir.c_str());
    if (dir == nullptr) {
        if (errno == ENOENT)
            return;
        fault("cannot open %s: %s", g_capture_dir.c_str(), std::strerror(errno));
    }
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = g_capture_dir + "/" + name;
        if (unlink(path.c_str()) != 0)
            fault("cannot remove %s: %s", path.c_str(), std::strerror(errno));
    }
    closedir(dir);
    if (rmdir(g_capture_dir.c_str()) != 0)
        fault("cannot remove %s: %s", g_capture_dir.c_str(), std::strerror(errno));
}

// The capture directory must hold the captures stored so far and nothing else.
void check_capture_directory(const bool *stored, int grabs)
{
    DIR *dir = opendir(g_capture_dir.c_str());
    if (dir == nullptr) {
        if (errno != ENOENT)
            fault("cannot open %s: %s", g_capture_dir.c_str(), std::strerror(errno));
        for (int i = 0; i < grabs; ++i)
            if (stored[i])
                fault("%s is stored but its directory is missing", CAPTURE_NAMES[i]);
        return;
    }
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        bool expected = false;
        for (int i = 0; i < grabs; ++i)
            expected = expected || (stored[i] && name == CAPTURE_NAMES[i]);
        if (!expected)
            fault("the capture directory holds %s, which no grab stored", name.c_str());
    }
    closedir(dir);
}

// Checks a stored capture against the stream it came from; returns the line
// the tool has to print for it.
NOT_COVERED std::string check_capture(const std::vector<uint8_t> &file, const char *path)
{
    const GrabWatch &w = g_watch;
    if (file.size() < FRAME_HEADER)
        fault("%s holds %zu bytes, less than a frame header", path, file.size());
    if (!same_bytes(file.data(), SYNC, sizeof SYNC))
        fault("%s does not begin with the sync bytes", path);
    uint32_t data_len = le32(file.data() + 8);
    if (data_len > FRAME_MAX_DATA)
        fault("%s holds a frame with data_len %u, over %u", path, data_len, FRAME_MAX_DATA);
    if (file.size() != FRAME_HEADER + data_len)
        fault("%s holds %zu bytes for data_len %u", path, file.size(), data_len);

    // The frame must be the delivered bytes from the first sync on the 4-byte
    // steps of the buffer, and the last read must have completed it: a frame
    // whole before that read should have been stored before it.
    size_t size = file.size();
    size_t at = first_sync(w.delivered, w.origin);
    if (at == SIZE_MAX)
        fault("%s is stored, but the buffer held no sync bytes on its 4-byte steps", path);
    if (at + size > w.delivered.size())
        fault("%s holds %zu bytes, but only %zu were delivered from the sync at %zu on", path,
              size, w.delivered.size() - at, at);
    if (!same_bytes(w.delivered.data() + at, file.data(), size))
        fault("%s (%zu bytes) differs from the bytes delivered from the sync at %zu on", path,
              size, at);
    if (at + size <= w.delivered_before_last)
        fault("%s: the frame at %zu (%zu bytes) was whole before the last read, which ended "
              "at %zu",
              path, at, size, w.delivered.size());

    char line[160];
    std::snprintf(line, sizeof line, "frame: total=%zu cnt=%u type=%u avg_hint=%u\n", size,
                  le32(file.data() + 4), static_cast<unsigned>(file[12]),
                  static_cast<unsigned>(file[28] | file[29] << 8));
    return line;
}

// One grab() on the stream as it stands; returns whether it stored a capture.
bool run_grab(int index, const bool *stored)
{
    std::string path = g_capture_dir + "/" + CAPTURE_NAMES[index];
    g_watch.reset();
    g_watch.active = true;
    g_watch.start_ns = g_now_ns;
    g_watch.give_up_ns = g_now_ns + GIVE_UP_NS;

    // The tool prints to stdout; catch what it prints.
    std::rewind(g_printed);
    FILE *real_stdout = stdout;
    stdout = g_printed;
    int result = grab(HANDLE, path.c_str());
    stdout = real_stdout;
    std::fflush(g_printed);
    long printed_size = std::ftell(g_printed);
    if (printed_size < 0 || printed_size >= static_cast<long>(sizeof g_printed_bytes) - 1)
        fault("grab %d printed more than %zu bytes", index, sizeof g_printed_bytes - 2);
    std::string output(g_printed_bytes, static_cast<size_t>(printed_size));
    g_watch.active = false;

    trace("grab %d (%s): %d after %d reads, %zu bytes delivered, %lld ms; printed: %s", index,
          CAPTURE_NAMES[index], result, g_watch.reads, g_watch.delivered.size(),
          static_cast<long long>((g_now_ns - g_watch.start_ns) / NS_PER_MS), output.c_str());

    if (g_watch.reads == 0)
        fault("grab %d returned %d without reading", index, result);
    if (g_now_ns - g_watch.start_ns > GIVE_UP_NS)
        fault("grab %d took %lld ms", index,
              static_cast<long long>((g_now_ns - g_watch.start_ns) / NS_PER_MS));
    if (result != 0 && result != -1)
        fault("grab %d returned %d", index, result);

    bool exists = file_exists(path);
    if (exists != (result == 0))
        fault("grab %d returned %d, and %s %s", index, result, path.c_str(),
              exists ? "exists" : "does not exist");

    if (result != 0) {
        // It must not give up with a whole frame in its buffer.
        size_t at = first_sync(g_watch.delivered, g_watch.origin);
        const std::vector<uint8_t> &d = g_watch.delivered;
        if (at != SIZE_MAX && at + FRAME_HEADER <= d.size()) {
            uint32_t data_len = le32(d.data() + at + 8);
            if (data_len <= FRAME_MAX_DATA && at + FRAME_HEADER + data_len <= d.size())
                fault("grab %d returned %d with a whole frame of %zu bytes at %zu of the %zu "
                      "delivered",
                      index, result, FRAME_HEADER + data_len, at, d.size());
        }
    }

    std::string expected;
    if (result == 0) {
        expected = check_capture(read_file(path), path.c_str());
    } else {
        if (g_watch.failed_status != 0)
            expected = std::string("read: ") + libusb_error_name(g_watch.failed_status) + "\n";
        expected += "no complete frame for " + path + "\n";
    }
    if (output != expected)
        fault("grab %d printed\n%s\ninstead of\n%s", index, output.c_str(), expected.c_str());

    bool now_stored[GRABS_PER_INPUT];
    for (int i = 0; i < GRABS_PER_INPUT; ++i)
        now_stored[i] = i < index ? stored[i] : i == index && result == 0;
    check_capture_directory(now_stored, index + 1);
    return result == 0;
}

void remove_base_dir()
{
    remove_capture_tree(g_base_dir);
}

}  // namespace fuzz_grab

// --- the one libusb call grab() makes; defined here, it wins over libusb's own ---

int libusb_bulk_transfer(libusb_device_handle *dev_handle, unsigned char endpoint,
                         unsigned char *data, int length, int *actual_length, unsigned int timeout)
{
    return fuzz_grab::bulk_read(dev_handle, endpoint, data, length, actual_length, timeout);
}

// --- libFuzzer entry points ---

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    using namespace fuzz_grab;
    g_trace = std::getenv("FUZZ_GRAB_TRACE") != nullptr &&
              std::strcmp(std::getenv("FUZZ_GRAB_TRACE"), "0") != 0;
    g_base_dir = "/dev/shm/usb_grab4_fuzz." + std::to_string(static_cast<long>(getpid()));
    g_capture_dir = g_base_dir + "/captures";
    g_printed = fmemopen(g_printed_bytes, sizeof g_printed_bytes, "w");
    if (g_printed == nullptr)
        fault("fmemopen: %s", std::strerror(errno));
    if (mkdir(g_base_dir.c_str(), 0700) != 0 && errno != EEXIST)
        fault("cannot create %s: %s", g_base_dir.c_str(), std::strerror(errno));
    clean_captures();  // left over by an earlier process of the same id
    remove_stale_trees();
    std::atexit(remove_base_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace fuzz_grab;
    g_module.reset(data, size);
    g_now_ns = START_NS;
    clean_captures();
    bool stored[GRABS_PER_INPUT] = {};
    for (int i = 0; i < GRABS_PER_INPUT; ++i) {
        if (i > 0 && !g_module.records_left() && g_module.held() == 0)
            break;
        stored[i] = run_grab(i, stored);
    }
    clean_captures();
    return 0;
}
