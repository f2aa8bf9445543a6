// The lock of a backup root: one holder at a time, the text kept across
// holders, and nothing but a regular file taken as the lock file.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_support.h"

TEST(RootLock, OneHolderAtATimeAndTheTextOutlivesIt)
{
    TempDir dir;
    NString path = dir.at("_lock");
    LockHandle* first = nullptr;
    ASSERT_EQ(platLockFile(path.c_str(), &first), LOCK_TAKEN);
    LockHandle* second = nullptr;
    EXPECT_EQ(platLockFile(path.c_str(), &second), LOCK_BUSY);
    EXPECT_EQ(second, nullptr);

    NString text = native("pid 42\nsnapshot x\n");
    ASSERT_TRUE(platWriteLockText(first, text.c_str()));
    // A shorter text replaces the longer one whole.
    ASSERT_TRUE(platWriteLockText(first, native("pid 7\n").c_str()));
    platUnlockFile(first);

    ASSERT_EQ(platLockFile(path.c_str(), &second), LOCK_TAKEN);
    NChar read[64];
    ASSERT_TRUE(platReadLockText(second, read, 64));
    EXPECT_EQ(NString(read), native("pid 7\n"));
    // A text longer than the caller's buffer is refused, never cut.
    EXPECT_FALSE(platReadLockText(second, read, 4));
    platUnlockFile(second);
}

TEST(RootLock, AFolderIsNoLockFile)
{
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "_lock");
    LockHandle* handle = nullptr;
    EXPECT_EQ(platLockFile(dir.at("_lock").c_str(), &handle), LOCK_FAILED);
    EXPECT_EQ(handle, nullptr);
}
