// The lock of a backup root: one holder at a time, the text kept across
// holders, and nothing but a regular file taken as the lock file; and the
// removal of what a stopped run left in its snapshot.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "root/root_lock.h"
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
    EXPECT_EQ(platLockFile(dir.at("_lock").c_str(), &handle), LOCK_NOT_REGULAR);
    EXPECT_EQ(handle, nullptr);
}

// Each failing call of the layer leaves its own reason, "call: reason",
// on the thread where it failed: a worker's failure never shows as another
// thread's, and a later success does not hide an earlier failure's reason.
TEST(FailureRecord, NamesTheCallAndTheSystemsReasonPerThread)
{
    TempDir dir;
    platResetState();
    NChar text[512];
    platFailureText(text, 512);
    EXPECT_EQ(NString(text), NString());

    std::filesystem::create_directory(dir.path() / "_lock");
    LockHandle* handle = nullptr;
    ASSERT_EQ(platLockFile(dir.at("_lock").c_str(), &handle), LOCK_NOT_REGULAR);
    platFailureText(text, 512);
    NString lockReason(text);
    EXPECT_FALSE(lockReason.empty());

    NString other;
    std::thread worker([&] {
        NChar mine[512];
        platFailureText(mine, 512);
        EXPECT_EQ(NString(mine), NString()); // nothing failed on this thread yet
        FileData data;
        EXPECT_FALSE(platGetFileData(dir.at("missing").c_str(), &data));
        platFailureText(mine, 512);
        other = mine;
    });
    worker.join();
#ifdef _WIN32
    EXPECT_EQ(other.rfind(L"GetFileAttributesExW: ", 0), 0u) << other;
#else
    EXPECT_EQ(other, "lstat: No such file or directory");
    EXPECT_EQ(lockReason, "open: Is a directory");
#endif
    platFailureText(text, 512);
    EXPECT_EQ(NString(text), lockReason);
    // A reason longer than the caller's buffer is cut to fit, never overrun.
    NChar small[6];
    platFailureText(small, 6);
    EXPECT_EQ(NString(small), lockReason.substr(0, 5));
}

// The lock file names the snapshot of its last holder by its folder name,
// whatever the root was called then and whichever build wrote it.
TEST(RootLock, TheLockTextNamesASnapshotByItsFolderName)
{
    const NChar* today = N("2026_12_08");
    EXPECT_TRUE(lockTextNamesSnapshot(N("pid 1\nhost h\nsnapshot /bk/2026_12_08/\n"), today));
    EXPECT_TRUE(lockTextNamesSnapshot(N("snapshot E:\\bk\\2026_12_08\\\r\npid 1\n"), today));
    EXPECT_TRUE(lockTextNamesSnapshot(N("snapshot 2026_12_08"), today));
    EXPECT_FALSE(lockTextNamesSnapshot(N("pid 1\nsnapshot /bk/2026_12_07/\n"), today));
    EXPECT_FALSE(lockTextNamesSnapshot(N("snapshot /bk/x2026_12_08/\n"), today));
    EXPECT_FALSE(lockTextNamesSnapshot(N("snapshot /bk/2026_12_08/more/\n"), today));
    EXPECT_FALSE(lockTextNamesSnapshot(N("host 2026_12_08\nsnapshot \n"), today));
    EXPECT_FALSE(lockTextNamesSnapshot(N(""), today));
    FileIdentity identity;
    ASSERT_TRUE(lockTextIdentity(N("snapshot /bk/2026_12_08/\r\nidentity 2049 18446744073709551615\r\n"),
                                 &identity));
    EXPECT_EQ(identity.volume, 2049u);
    EXPECT_EQ(identity.index, 18446744073709551615u);
    EXPECT_FALSE(lockTextIdentity(N("identity 2049\n"), &identity));
    EXPECT_FALSE(lockTextIdentity(N("identity 1 18446744073709551616\n"), &identity));
    EXPECT_FALSE(lockTextIdentity(N("identity 1 2x\n"), &identity));
}

TEST(RootLock, ARunWritesItsFactsForTheNext)
{
    resetRunState();
    TempDir dir;
    NChar lockPath[PATH_CHARS];
    ASSERT_EQ(LOCK_TAKEN, lockBackupRoot(dir.dir().c_str(), lockPath));
    ASSERT_TRUE(holdsRootLock());
    NString snapshot = dir.dir() + native("2026_12_08") + PATH_SEP_TEXT;
    recordRunInLock(snapshot.c_str());
    releaseBackupRoot();
    EXPECT_FALSE(holdsRootLock());
    std::string text = readFile(dir.path() / "_lock");
    EXPECT_EQ(text.rfind("pid ", 0), 0u) << text;
    EXPECT_NE(text.find("\nhost "), std::string::npos) << text;
    EXPECT_NE(text.find("\nstart "), std::string::npos) << text;

    // Named before its folder exists: no identity yet, no folder continued.
    ASSERT_EQ(LOCK_TAKEN, lockBackupRoot(dir.dir().c_str(), lockPath));
    EXPECT_FALSE(lastRunMadeSnapshot(snapshot.c_str(), N("2026_12_08")));
    std::filesystem::create_directory(dir.path() / "2026_12_08");
    recordRunInLock(snapshot.c_str());
    releaseBackupRoot();

    ASSERT_EQ(LOCK_TAKEN, lockBackupRoot(dir.dir().c_str(), lockPath));
    EXPECT_TRUE(lastRunMadeSnapshot(snapshot.c_str(), N("2026_12_08")));
    EXPECT_FALSE(lastRunMadeSnapshot(snapshot.c_str(), N("2026_12_09")));
    // Another folder of the same name, made after: not the run's.
    std::filesystem::rename(dir.path() / "2026_12_08", dir.path() / "old");
    std::filesystem::create_directory(dir.path() / "2026_12_08");
    EXPECT_FALSE(lastRunMadeSnapshot(snapshot.c_str(), N("2026_12_08")));
    std::filesystem::remove(dir.path() / "2026_12_08");
    std::filesystem::rename(dir.path() / "old", dir.path() / "2026_12_08");

    // A prune in between says who holds the root, and keeps what the run
    // left for the next run to finish.
    recordPruneInLock();
    releaseBackupRoot();
    text = readFile(dir.path() / "_lock");
    EXPECT_NE(text.find("\nprune\n"), std::string::npos) << text;
    ASSERT_EQ(LOCK_TAKEN, lockBackupRoot(dir.dir().c_str(), lockPath));
    EXPECT_TRUE(lastHolderNamedSnapshot(N("2026_12_08")));
    EXPECT_TRUE(lastRunMadeSnapshot(snapshot.c_str(), N("2026_12_08")));
    releaseBackupRoot();
    EXPECT_FALSE(lastHolderNamedSnapshot(N("2026_12_08")));
    resetRunState();
}

// What a stopped run left goes whole: nested folders, read-only files and
// folders; a symbolic link goes itself, and what it leads to stays.
TEST(RemoveTree, RemovesEverythingBelowAndNothingBeyond)
{
    TempDir dir;
    namespace fs = std::filesystem;
    fs::create_directories(dir.path() / "t" / "a" / "b");
    writeFile(dir.path() / "t" / "a" / "b" / "f", "x");
    writeFile(dir.path() / "t" / "ro", "y");
    fs::permissions(dir.path() / "t" / "ro", fs::perms::owner_read);
    fs::create_directories(dir.path() / "outside");
    writeFile(dir.path() / "outside" / "keep", "z");
#ifndef _WIN32
    fs::create_directory_symlink(dir.path() / "outside", dir.path() / "t" / "a" / "link");
    fs::permissions(dir.path() / "t" / "a", fs::perms::owner_read | fs::perms::owner_exec);
#endif
    EXPECT_TRUE(platRemoveTree((dir.at("t") + PATH_SEP_TEXT).c_str()));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "t")));
    EXPECT_EQ(readFile(dir.path() / "outside" / "keep"), "z");
    // A file, and a name that is not there.
    EXPECT_TRUE(platRemoveTree(dir.at("outside/keep").c_str()));
    EXPECT_FALSE(fs::exists(dir.path() / "outside" / "keep"));
    EXPECT_TRUE(platRemoveTree(dir.at("nothing").c_str()));
}
