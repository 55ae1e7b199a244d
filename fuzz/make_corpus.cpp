// make_corpus: writes the seed inputs of fuzz_grab (format: fuzz_grab.cpp)
// into the directory given, one file per case.  fuzz/corpus/ in the
// repository is this program's output; .ci/fuzz.sh checks that it still is.
//
//   make_corpus DIR
//
// Frames are 56 + data_len bytes; the notes say what grab() should make of
// each stream, one grab after the other.

#include "grab_input.h"

#include <cstdio>
#include <string>
#include <vector>

using grab_input::Writer;

namespace {

struct Seed {
    std::string name;
    Writer input;
};

// A 256-byte frame A split after `at` bytes, then a 256-byte frame B.
Writer split_at(uint16_t at)
{
    Writer w;
    w.push_whole_frame(200, 0xA0).push_whole_frame(200, 0xB0);
    w.read(at).read(static_cast<uint16_t>(256 - at)).read_all();
    return w;
}

std::vector<Seed> seeds()
{
    using namespace grab_input;
    std::vector<Seed> s;

    // Whole frames in one read each.
    s.push_back({"whole_frame", Writer().push_whole_frame(1000, 1).read_all()});
    s.push_back({"data_len_0", Writer().push_whole_frame(0, 2).read_all()});
    s.push_back({"data_len_50000", Writer().push_whole_frame(50000, 3, 2, 0x11).read_all()});
    // 50001 is over the limit: that sync blocks the first grab until 50000
    // bytes are held; the second grab gets the frame after it.
    s.push_back({"data_len_50001",
                 Writer().push_whole_frame(50001, 4).push_whole_frame(100, 5).read(50057).read_all()});
    // The same header with exactly 50000 bytes held: reading stops there.
    s.push_back({"data_len_50001_fill_50000",
                 Writer().push_whole_frame(50001, 4).read(50000).read_all()});
    s.push_back({"four_frames", Writer()
                                    .push_whole_frame(10, 1, 0).read_all()
                                    .push_whole_frame(20, 2, 0).read_all()
                                    .push_whole_frame(30, 3, 0).read_all()
                                    .push_whole_frame(4000, 4, 1).read_all()});

    // Frame A split after 1, 2, 3 (inside the sync bytes), 4, 28 (data_len
    // known) and 56 (header whole) bytes, then frame B.
    for (uint16_t at : {1, 2, 3, 4, 28, 56})
        s.push_back({"split_at_" + std::to_string(at), split_at(at)});
    // A frame in many small pieces, with zero-length reads among them.
    {
        Writer w;
        w.push_whole_frame(500, 6);
        for (int i = 0; i < 8; ++i)
            w.read(0).read(60);
        w.read_all();
        s.push_back({"zero_length_reads", w});
    }
    // A frame whose last piece comes when the buffer is one byte short of
    // the fill limit: that read may ask for the least, 20001 bytes.
    s.push_back({"data_len_50000_split_at_49999",
                 Writer().push_whole_frame(50000, 7).read(49999).read_all()});

    // Sync bytes off the 4-byte grid are no frame; on it they are.
    s.push_back({"sync_at_2", Writer()
                                  .push_bytes({0xEE, 0xEE}).push_whole_frame(200, 8).read_all()
                                  .push_whole_frame(200, 9).read_all()});
    s.push_back({"sync_at_4",
                 Writer().push_bytes({0xEE, 0xEE, 0xEE, 0xEE}).push_whole_frame(200, 10).read_all()});
    // A read that ends 2 and 3 bytes into the sync bytes of frame A (at
    // offset 8 of the stream); frame B follows.
    s.push_back({"read_ends_inside_sync", Writer()
                                              .push_bytes(std::vector<uint8_t>(8, 0xEE))
                                              .push_whole_frame(200, 0xA1).push_whole_frame(200, 0xB1)
                                              .read(10).read(254).read_all()});
    s.push_back({"read_ends_inside_sync_3", Writer()
                                                .push_bytes(std::vector<uint8_t>(8, 0xEE))
                                                .push_whole_frame(200, 0xA2).push_whole_frame(200, 0xB2)
                                                .read(11).read(253).read_all()});
    // Stray sync bytes, and a header that promises more than follows.
    s.push_back({"stray_sync", Writer().push_sync().push_bytes({1, 2, 3, 4}).push_sync()
                                   .push_whole_frame(64, 11).read_all()});
    s.push_back({"short_frame", Writer()
                                    .push_frame(1000, 100, 12, 1, 0x20).push_whole_frame(100, 13)
                                    .push_whole_frame(1000, 14).read_all()});
    // A full first read whose last 30000 bytes begin a frame, so the move to
    // the front is a long one; the frame's end comes with the next read.
    s.push_back({"frame_in_tail_of_full_read",
                 Writer().push_repeat(40000, 0x00).push_whole_frame(50000, 25).read_all().read_all()});
    // 60000 bytes without a frame, then a frame.
    s.push_back({"no_sync_then_frame", Writer()
                                           .push_repeat(30000, 0x00).push_repeat(30000, 0xB1)
                                           .read_all().push_whole_frame(300, 15).read_all()});

    // Failed reads: the grab gives up; the next grab reads on.
    s.push_back({"fail_io", Writer()
                                .push_whole_frame(1000, 16).push_whole_frame(300, 17)
                                .read(100).fail(FAIL_IO).read(956).read_all()});
    s.push_back({"fail_overflow",
                 Writer().push_whole_frame(1000, 18).fail(FAIL_OVERFLOW, 512).read_all()});
    s.push_back({"fail_no_device", Writer().fail(FAIL_NO_DEVICE).push_whole_frame(100, 19)});
    s.push_back({"timeout_with_bytes", Writer()
                                           .push_whole_frame(1000, 20).push_whole_frame(64, 21)
                                           .read(60).fail(FAIL_TIMEOUT, 500).read_all()});

    // Time: reads of 999.9 ms each reach the give-up point without a
    // time-out; a module that answers after 2 s makes the read time out.
    {
        Writer w;
        w.push_whole_frame(1000, 22);
        for (int i = 0; i < 5; ++i)
            w.delay(9999).read(10);
        s.push_back({"slow_reads_give_up", w});
    }
    // Reads of 700 ms each: the eighth may wait only the 100 ms left.
    {
        Writer w;
        w.push_whole_frame(1000, 24);
        for (int i = 0; i < 8; ++i)
            w.delay(7000).read(10);
        s.push_back({"slow_reads_last_timeout_shorter", w});
    }
    s.push_back({"slow_answer_times_out",
                 Writer().push_whole_frame(100, 23).delay(20000).read_all().read_all()});
    return s;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    for (const Seed &seed : seeds()) {
        std::string path = std::string(argv[1]) + "/" + seed.name;
        std::FILE *f = std::fopen(path.c_str(), "wb");
        const std::vector<uint8_t> &bytes = seed.input.bytes();
        if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
            std::fclose(f) != 0) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
