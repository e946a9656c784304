// The process facilities on files as a long-lived launcher leaves them.

#include "platform/Process.h"

#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(ProcessFiles, AppendsToLogFilesPastEveryOffsetWidth)
{
    // Sparse files just short of 2 GiB and past 4 GiB: a build with 32-bit
    // file offsets cannot even open them, and stops logging for good.
    for (const std::uint64_t size : {(std::uint64_t{1} << 31) - 1, (std::uint64_t{1} << 32) + 7}) {
        std::string path = ::testing::TempDir() + "register-append-XXXXXX";
        const int file = mkstemp(path.data());
        ASSERT_GE(file, 0);
        const bool sized = ftruncate(file, static_cast<off_t>(size)) == 0;
        close(file);
        if (!sized) {
            unlink(path.c_str());
            GTEST_SKIP() << "this file system holds no sparse file of " << size << " bytes";
        }
        EXPECT_TRUE(Platform::appendWhole(path, "record\n")) << size;
        struct stat status {};
        EXPECT_EQ(stat(path.c_str(), &status), 0);
        // A line feed goes first: the sparse file ends in a zero byte, as a
        // record torn by a full disk would.
        EXPECT_EQ(static_cast<std::uint64_t>(status.st_size), size + 8) << size;
        unlink(path.c_str());
    }
}

} // namespace
