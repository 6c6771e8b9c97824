// The input window and the output buffer, where a byte could be dropped or
// doubled: whole conversions read with read(2) through windows of a few
// bytes and written through buffers of a few dozen must give the very text
// that full-size buffers give.
#include "aet.h"
#include "trace_builder.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace aet;

namespace {

int append(void *ctx, const char *p, size_t n) {
    static_cast<std::string *>(ctx)->append(p, n);
    return 0;
}

// The VCD text and the message of one conversion of `bytes`.
std::string convert_through(const std::string &bytes, size_t window, size_t cap, bool threaded) {
    int fd = memfd_create("trace", 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    lseek(fd, 0, SEEK_SET);
    std::string text;
    AetState st;
    EXPECT_TRUE(in_open_fd(st.handle, fd, window));
    EXPECT_TRUE(out_open(st.out, Sink{append, &text}, cap, threaded));
    Status s = convert(st);
    EXPECT_TRUE(out_close(st.out));
    close(fd);
    return text + status_message(s, "trace");
}

// Every record kind, a model name past the text at 240, names longer than
// the buffers, list records far longer than the window, and a damaged end.
Trace every_path() {
    Trace t;
    t.format = 0xC0;
    t.model = std::string(300, 'm');
    t.multiplier = 3;
    t.fac("top.a", 1, 1, 0).fac("top.sub.b", 2, 3, 1).fac("top." + std::string(2000, 'n'), 1, 2, 7);
    t.fac(std::string(3000, 's') + ".x", 1, 1, 9).fac("x", 0, 4, 10);
    std::initializer_list<uint16_t> some = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::string &e = t.events;
    e += ev::zero() + ev::all(2) + ev::delta(7) + ev::list(1, some) + ev::base(2) + ev::base_steps(2);
    for (int i = 0; i < 300; ++i) e += ev::single(i & 3, uint32_t(i) * 977) + ev::tick();
    std::string list(1, '\xB1');
    put_be(list, 3000, 2);
    for (uint16_t id = 0; id < 3000; ++id) put_be(list, id, 2);
    e += list + ev::base_step() + ev::nop() + ev::all(3) + ev::time(123456789) + ev::list(0, some);
    e += ev::list(3, {}) + ev::single(1, 0xFFFFFF) + ev::all(0) + ev::list(2, {1, 2, 3}).substr(0, 5);
    return t;
}

TEST(Buffers, TinyWindowsAndBuffersGiveTheSameText) {
    const std::string bytes = every_path().bytes();
    const std::string want = convert_through(bytes, input_window, output_buffer_size, true);
    ASSERT_NE(want.find("$var wire 1 ( " + std::string(2000, 'n') + "[0] $end\n"), std::string::npos);
    ASSERT_NE(want.find("#123456789\n"), std::string::npos);
    const std::string cut = "\nTrace truncated inside the record at offset " +
                            std::to_string(bytes.size() - 5) + ", exiting.\n";
    ASSERT_EQ(want.substr(want.size() - cut.size()), cut);
    for (size_t window : {1, 2, 3, 5, 7, 16, 61, 4099})
        for (size_t cap : {1, 64, 65, 100, 4096})
            for (bool threaded : {false, true})
                EXPECT_EQ(convert_through(bytes, window, cap, threaded), want)
                    << "window " << window << ", buffer " << cap << (threaded ? ", threaded" : "");
}

TEST(Buffers, ReadersAreBigEndianAndSeeTheEnd) {
    const unsigned char bytes[] = {0x12, 0xFF, 0xFE, 0x80, 0x00, 0x00, 0x01, 0x7F};
    Input in;
    in_open_memory(in, bytes, sizeof bytes);
    EXPECT_EQ(get_byte(in), 0x12);
    EXPECT_EQ(get_short(in), 0xFFFE);
    EXPECT_EQ(get_long(in), static_cast<int32_t>(0x80000001u)); // negative
    EXPECT_EQ(get_byte(in), 0x7F);
    EXPECT_EQ(get_byte(in), -1);
    EXPECT_EQ(in_offset(in), sizeof bytes);
}

} // namespace
