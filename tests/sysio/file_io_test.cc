// Reading, writing, seeking, truncating and formatted writing through
// descriptors.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "sysio/file_test_support.h"

namespace {

using kuv_file_test::Pipe;
using kuv_file_test::read_file;
using kuv_file_test::TempDir;

class FileIo : public kuv_test::ResourceCheckedTest {};

std::string drain(int descriptor) {
    std::string text;
    char chunk[4096];
    for (int64_t got; kuv_xapi_rx_poll_fd(descriptor, 0) == 1 &&
                      (got = kuv_xapi_read(descriptor, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<size_t>(got));
    }
    return text;
}

TEST_F(FileIo, ReadWriteSeekAndTruncate) {
    TempDir dir;
    std::string path = dir / "data";
    int file = kuv_xapi_open(path.c_str(), 0x4 | 0x8, 0600);
    ASSERT_GE(file, 0);
    EXPECT_EQ(kuv_xapi_write(file, "0123456789", 10), 10);
    char buffer[16] = {};
    EXPECT_EQ(kuv_xapi_lseek(file, 3, 7), 3);  // unknown origins seek from the start
    EXPECT_EQ(kuv_xapi_read(file, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "3456");
    EXPECT_EQ(kuv_xapi_lseek(file, -2, 1), 5);
    EXPECT_EQ(kuv_xapi_lseek(file, -1, 2), 9);
    EXPECT_EQ(kuv_xapi_read_intr(file, buffer, sizeof buffer, 1), 1);
    EXPECT_EQ(kuv_xapi_read(file, buffer, sizeof buffer), 0);

    const int64_t beyond_4g = (int64_t{1} << 32) + 5;  // 64-bit lengths pass unharmed
    EXPECT_EQ(kuv_xapi_ftruncate(file, beyond_4g), 1);
    EXPECT_EQ(kuv_xapi_lseek(file, 0, 2), beyond_4g);
    EXPECT_EQ(kuv_xapi_ftruncate_intr(file, 4, 1), 1);
    EXPECT_EQ(read_file(path), "0123");
    EXPECT_EQ(kuv_xapi_ftruncate(file, -1), -1);
    EXPECT_EQ(kuv_xapi_fsync(file), 1);
    EXPECT_EQ(kuv_xapi_close(file), 1);
    EXPECT_EQ(kuv_xapi_fsync(file), -1);
}

int64_t write_formatted(int descriptor, const char *format, ...) {
    va_list list;
    va_start(list, format);
    int64_t result = kuv_xapi_write_vprintf(descriptor, format, list);
    va_end(list);
    return result;
}

TEST_F(FileIo, PutsAndPrintfWriteWholeTexts) {
    Pipe pipe;
    EXPECT_EQ(kuv_xapi_write_puts(pipe.write_end(), "line\n"), 5);
    EXPECT_EQ(kuv_xapi_write_puts(pipe.write_end(), ""), 0);
    EXPECT_EQ(kuv_xapi_write_puts(pipe.write_end(), nullptr), -1);
    EXPECT_EQ(kuv_xapi_write_printf(pipe.write_end(), "%s=%d;%05.1f", "n", -42, 3.14159), 11);
    EXPECT_EQ(write_formatted(pipe.write_end(), "[%4s]", "ab"), 6);
    EXPECT_EQ(kuv_xapi_write_printf(pipe.write_end(), "%s", ""), 0);
    EXPECT_EQ(drain(pipe.read_end()), "line\nn=-42;003.1[  ab]");
    const char *no_format = nullptr;
    EXPECT_EQ(write_formatted(pipe.write_end(), no_format), -1);
    EXPECT_EQ(kuv_xapi_write_printf(-1, "lost"), -1);

    // A text too long to make is refused before anything is written.
    std::string huge(600000, 'h');
    EXPECT_EQ(kuv_xapi_write_printf(pipe.write_end(), "%s", huge.c_str()), -1);
    EXPECT_EQ(drain(pipe.read_end()), "");
}

TEST_F(FileIo, PartialWriteReturnsTheSmallerCountAndStops) {
    Pipe pipe;
    ASSERT_GT(fcntl(pipe.write_end(), F_SETPIPE_SZ, 4096), 0);
    int capacity = fcntl(pipe.write_end(), F_GETPIPE_SZ);
    fcntl(pipe.write_end(), F_SETFL, O_NONBLOCK);
    std::string text(static_cast<size_t>(capacity) * 3, 'p');
    int64_t written = kuv_xapi_write_printf(pipe.write_end(), "%s", text.c_str());
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int64_t>(text.size()));
    EXPECT_EQ(static_cast<int64_t>(drain(pipe.read_end()).size()), written);

    EXPECT_EQ(kuv_xapi_write(pipe.write_end(), text.data(), capacity), capacity);
    EXPECT_EQ(kuv_xapi_write_printf(pipe.write_end(), "x"), -1);  // full: the system's EAGAIN
    EXPECT_EQ(errno, EAGAIN);
}

}  // namespace
