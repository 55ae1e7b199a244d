#include "tool_harness.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace emulated_module {

const char *const CAPTURE_NAMES[4] = {"bg1.bin", "bg2.bin", "bg3.bin", "hand1.bin"};
const char *const OPERATOR_PROMPT_LINE =
    ">>> \xE7\x8E\xB0\xE5\x9C\xA8\xE6\x8A\x8A\xE6\x89\x8B\xE6\x8E\x8C\xE6\x94\xBE\xE5\x88\xB0"
    "\xE9\x95\x9C\xE5\xA4\xB4\xE5\x89\x8D,10 \xE7\xA7\x92\xE5\x90\x8E\xE8\x87\xAA\xE5\x8A\xA8"
    "\xE6\x8A\x93\xE6\x89\x8B\xE6\x8E\x8C\xE5\xB8\xA7\n";

namespace {

void remove_tree(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                remove_tree(path + "/" + name);
        }
        closedir(dir);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

}  // namespace

void ToolTest::SetUp()
{
    std::string reason = EmulatedBus::unavailable_reason();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    mkdir(TEST_SCRATCH_DIR, 0755);
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    work_dir_ = std::string(TEST_SCRATCH_DIR) + "/" + name;
    remove_tree(work_dir_);
    ASSERT_EQ(mkdir(work_dir_.c_str(), 0755), 0) << work_dir_;
}

void ToolTest::TearDown()
{
    if (bus_ && HasFailure()) {
        std::fprintf(stderr, "--- tool stdout ---\n%s--- tool stderr ---\n%s--- wire ---\n%s",
                     run_.out.c_str(), run_.err.c_str(), bus_->wire().dump().c_str());
    }
    bus_.reset();
    if (!HasFailure() && !work_dir_.empty())
        remove_tree(work_dir_);
}

const ToolRun &ToolTest::run_tool(const Scenario &scenario,
                                  const std::vector<std::string> &extra_environment)
{
    // For a sanitized build of the tool: its runtime does not come first among
    // the preloaded libraries, and any report must show in standard error.
    std::vector<std::string> environment = {
        "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1",
        "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"};
    environment.insert(environment.end(), extra_environment.begin(), extra_environment.end());
    bus_ = std::make_unique<EmulatedBus>(scenario);
    run_ = bus_->run(TOOL_UNDER_TEST, work_dir_, environment);
    EXPECT_FALSE(run_.timed_out) << "the tool did not end";
    EXPECT_EQ(run_.signal, 0) << "the tool died of a signal";
    EXPECT_EQ(run_.err.find("Sanitizer"), std::string::npos) << run_.err;
    EXPECT_EQ(run_.err.find("runtime error:"), std::string::npos) << run_.err;
    return run_;
}

bool ToolTest::capture_exists(const std::string &name) const
{
    return access(capture_path(name).c_str(), F_OK) == 0;
}

Bytes ToolTest::read_capture(const std::string &name) const
{
    return read_file(capture_path(name));
}

std::vector<std::string> ToolTest::capture_dir_entries() const
{
    std::vector<std::string> names;
    DIR *dir = opendir(capture_dir().c_str());
    if (dir == nullptr)
        return names;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void ToolTest::write_capture(const std::string &name, const Bytes &content) const
{
    mkdir(capture_dir().c_str(), 0755);
    std::ofstream file(capture_path(name), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(content.data()),
               static_cast<std::streamsize>(content.size()));
}

std::vector<Transfer> ToolTest::transfers_on(uint8_t endpoint) const
{
    std::vector<Transfer> all = transfers();
    std::vector<Transfer> chosen;
    std::copy_if(all.begin(), all.end(), std::back_inserter(chosen),
                 [&](const Transfer &transfer) { return transfer.endpoint == endpoint; });
    return chosen;
}

namespace {

std::string describe_transfer(const Transfer &transfer)
{
    char line[64];
    std::string text;
    if (transfer.endpoint & 0x80) {
        std::snprintf(line, sizeof line, "IN 0x%02x %u", transfer.endpoint, transfer.requested);
        text = line;
    } else {
        std::snprintf(line, sizeof line, "OUT 0x%02x", transfer.endpoint);
        text = line + hex(transfer.out, " ");
    }
    if (!transfer.completed)
        return text + ": pending";
    text += std::string(": ") + status_name(transfer.status);
    if ((transfer.endpoint & 0x80) && transfer.status == UrbStatus::ok)
        text += " " + std::to_string(transfer.actual_length);
    return text;
}

}  // namespace

std::vector<std::string> ToolTest::trace(int device) const
{
    std::vector<std::string> chat;
    std::vector<Transfer> all = transfers();
    size_t submitted = 0;
    char line[64];
    for (const WireEvent &event : wire().events()) {
        if (event.op == WireOp::submit) {
            // Submissions are logged in the same order as the transfers.
            const Transfer &transfer = all[submitted++];
            if (event.device == device)
                chat.push_back(describe_transfer(transfer));
            continue;
        }
        if (event.device != device || event.op == WireOp::complete)
            continue;
        if (event.op == WireOp::clear_halt)
            std::snprintf(line, sizeof line, "clear_halt 0x%02x", event.endpoint);
        else if (event.op == WireOp::open)
            std::snprintf(line, sizeof line, "open");
        else
            std::snprintf(line, sizeof line, "%s %d", op_name(event.op), event.value);
        chat.push_back(line);
    }
    return chat;
}

int64_t ToolTest::line_time(const std::string &text) const
{
    for (const OutputLine &line : run_.out_lines)
        if (line.text == text)
            return line.at_us;
    ADD_FAILURE() << "the tool never printed: " << text;
    return 0;
}

std::vector<std::string> command_chat(uint32_t word, size_t length)
{
    return {"OUT 0x03" + hex(command_bytes(word, 0, length), " ") + ": ok", "IN 0x82 4096: ok 4"};
}

void append(std::vector<std::string> &chat, const std::vector<std::string> &more)
{
    chat.insert(chat.end(), more.begin(), more.end());
}

Bytes command_bytes(uint32_t word, uint32_t second, size_t length)
{
    Bytes all;
    for (uint32_t value : {word, second})
        for (int i = 0; i < 4; ++i)
            all.push_back(static_cast<uint8_t>(value >> (8 * i)));
    all.resize(length);
    return all;
}

Bytes read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string frame_line(uint32_t total, uint32_t cnt, unsigned type, unsigned avg_hint)
{
    char line[128];
    std::snprintf(line, sizeof line, "frame: total=%u cnt=%u type=%u avg_hint=%u\n", total, cnt,
                  type, avg_hint);
    return line;
}

}  // namespace emulated_module
