// The input window and the output buffer, where a byte could be dropped or
// doubled: whole conversions read with read(2) through windows of a few
// bytes and flushed every few dozen bytes must give the very text that
// full-size buffers give.
#include "aet.h"
#include "damaged_traces.h"

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
std::string convert_through(const std::string &bytes, size_t window, size_t cap) {
    int fd = memfd_create("trace", 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    lseek(fd, 0, SEEK_SET);
    std::string text;
    AetState st;
    EXPECT_TRUE(in_open_fd(st.handle, fd, window));
    EXPECT_TRUE(out_open(st.out, Sink{append, &text}, cap));
    Status s = convert(st);
    EXPECT_TRUE(out_flush(st.out));
    close(fd);
    return text + status_message(s, "trace");
}

TEST(Buffers, TinyWindowsAndBuffersGiveTheSameText) {
    const std::string bytes = every_record_kind().bytes();
    const std::string want = convert_through(bytes, input_window, output_buffer_size);
    ASSERT_NE(want.find("$var wire 1 ( " + std::string(2000, 'n') + "[0] $end\n"),
              std::string::npos);
    ASSERT_NE(want.find("#123456789\n"), std::string::npos);
    ASSERT_TRUE(want.ends_with("\nTrace truncated inside the record at offset " +
                               std::to_string(bytes.size() - 5) + ", exiting.\n"));
    // Flush marks of 1 to 4096 bytes: every record, text or line flushes.
    for (size_t window : {1, 2, 3, 5, 7, 16, 61, 4099})
        for (size_t mark : {1, 7, 64, 65, 100, 4096})
            EXPECT_EQ(convert_through(bytes, window, out_slack + mark), want)
                << "window " << window << ", mark " << mark;
}

} // namespace
