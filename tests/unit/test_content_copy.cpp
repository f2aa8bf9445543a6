// The POSIX content copy: in the kernel, holes kept, and a failing read
// told from a failing write when the kernel cannot copy.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/posix/content_copy.h"
#include "test_support.h"

namespace {

std::string pattern(size_t size, unsigned seed)
{
    std::string text(size, 0);
    for (size_t k = 0; k < size; ++k) {
        seed = seed * 1103515245u + 12345u;
        text[k] = static_cast<char>(seed >> 16);
    }
    return text;
}

int openNew(const std::filesystem::path& path)
{
    return open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
}

} // namespace

TEST(ContentCopy, DenseSparseAndPseudoEmptyFilesCopyWhole)
{
    TempDir dir;
    // A dense file over several fallback buffers, a sparse one with data
    // in the middle and a hole at the end, and an empty one.
    writeFile(dir.path() / "dense", pattern(3 * (1 << 20) + 17, 1));
    {
        int fd = openNew(dir.path() / "sparse");
        ASSERT_GE(fd, 0);
        std::string middle = pattern(70000, 2);
        ASSERT_EQ(pwrite(fd, middle.data(), middle.size(), 8 << 20), static_cast<ssize_t>(middle.size()));
        ASSERT_EQ(ftruncate(fd, 64 << 20), 0);
        close(fd);
    }
    writeFile(dir.path() / "empty", "");
    for (const char* name : {"dense", "sparse", "empty"}) {
        SCOPED_TRACE(name);
        int source = open((dir.path() / name).c_str(), O_RDONLY | O_CLOEXEC);
        int destination = openNew(dir.path() / (std::string(name) + ".copy"));
        ASSERT_GE(source, 0);
        ASSERT_GE(destination, 0);
        uint64_t moved = 0;
        EXPECT_EQ(copyContent(source, destination, &moved), CONTENT_OK);
        struct stat in, out;
        ASSERT_EQ(fstat(source, &in), 0);
        ASSERT_EQ(fstat(destination, &out), 0);
        close(source);
        close(destination);
        EXPECT_EQ(moved, static_cast<uint64_t>(in.st_size));
        EXPECT_EQ(out.st_size, in.st_size);
        EXPECT_LE(out.st_blocks, in.st_blocks + 8); // holes stay holes
        EXPECT_TRUE(readFile(dir.path() / name) == readFile(dir.path() / (std::string(name) + ".copy")));
    }
}

TEST(ContentCopy, FallbackTellsAFailedReadFromAFailedWrite)
{
    TempDir dir;
    // A memory file: the kernel does not copy between it and a disk file,
    // so the bounded buffer moves it.
    int memory = memfd_create("content", MFD_CLOEXEC);
    ASSERT_GE(memory, 0);
    std::string text = pattern((1 << 20) * 2 + 5, 3);
    ASSERT_EQ(write(memory, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    int destination = openNew(dir.path() / "copy");
    uint64_t moved = 0;
    EXPECT_EQ(copyContent(memory, destination, &moved), CONTENT_OK);
    close(destination);
    EXPECT_EQ(moved, text.size());
    EXPECT_TRUE(readFile(dir.path() / "copy") == text);

    // A destination that cannot be written to.
    writeFile(dir.path() / "readonly", "");
    int readOnly = open((dir.path() / "readonly").c_str(), O_RDONLY | O_CLOEXEC);
    moved = 0;
    EXPECT_EQ(copyContent(memory, readOnly, &moved), CONTENT_WRITE_FAILED);
    close(readOnly);
    close(memory);

    // A source that cannot be read (a folder).
    int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    destination = openNew(dir.path() / "copy2");
    EXPECT_EQ(copyContent(folder, destination, &moved), CONTENT_READ_FAILED);
    close(folder);
    close(destination);
}
