#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"
#include "root/checksums.h"
#include "test_support.h"

namespace {

ChecksumRecord recordOf(uint64_t n, uint16_t flags = 0)
{
    ChecksumRecord record;
    record.key = {1000 + n, n * 7, static_cast<int64_t>(1700000000 + n), static_cast<uint32_t>(n * 13)};
    record.flags = flags;
    for (int k = 0; k < 16; ++k) record.hash[k] = static_cast<unsigned char>(n + k);
    return record;
}

std::string bytesOf(const ChecksumRecord& record)
{
    unsigned char bytes[CHECKSUM_RECORD_BYTES];
    encodeChecksumRecord(record, bytes);
    return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

bool sameRecord(const ChecksumRecord& a, const ChecksumRecord& b)
{
    return a.key == b.key && a.flags == b.flags && memcmp(a.hash, b.hash, 16) == 0;
}

TEST(Checksums, RecordRoundTripsAndAnyFlippedBitIsRefused)
{
    ChecksumRecord record = recordOf(5, CHECKSUM_BAD);
    std::string bytes = bytesOf(record);
    ChecksumRecord back;
    ASSERT_TRUE(decodeChecksumRecord(reinterpret_cast<const unsigned char*>(bytes.data()), &back));
    EXPECT_TRUE(sameRecord(record, back));
    for (size_t bit = 0; bit < CHECKSUM_RECORD_BYTES * 8; ++bit) {
        std::string garbled = bytes;
        garbled[bit / 8] = static_cast<char>(garbled[bit / 8] ^ (1 << (bit % 8)));
        EXPECT_FALSE(decodeChecksumRecord(reinterpret_cast<const unsigned char*>(garbled.data()), &back)) << bit;
    }
}

TEST(Checksums, HashIsXxh3OfTheContentInItsCanonicalForm)
{
    ContentHasher* hasher = createHasher();
    ASSERT_NE(nullptr, hasher);
    updateHasher(hasher, "hel", 3);
    updateHasher(hasher, "lo\n", 3);
    unsigned char hash[16];
    finishHasher(hasher, hash);
    freeHasher(hasher);
    // What xxhsum -H2 prints for "hello\n".
    const unsigned char expected[16] = {0x6b, 0xba, 0x86, 0xc7, 0xe0, 0x69, 0xf5, 0x6d,
                                        0x5a, 0x10, 0xb4, 0x35, 0xf1, 0xc8, 0xe4, 0x9c};
    EXPECT_EQ(0, memcmp(expected, hash, 16));
}

// A file of thousands of records (more than one piece of the reader) with
// torn records, garbage and a stray magic between them: every whole record
// is found, the last of a key counts, and a bad mark stays.
TEST(Checksums, ReaderSkipsTornRecordsAndGarbageAcrossPieces)
{
    TempDir temp;
    std::string content;
    const uint64_t COUNT = 3000;
    for (uint64_t n = 0; n < COUNT; ++n) {
        content += bytesOf(recordOf(n));
        if (n % 97 == 0) content += bytesOf(recordOf(COUNT + n)).substr(0, 1 + n % 63); // torn
        if (n % 101 == 0) content += std::string("LSCKgarbage\0\0LS", 15);
    }
    content += bytesOf(recordOf(7, CHECKSUM_BAD));
    ChecksumRecord later = recordOf(7);
    later.hash[0] ^= 1;
    content += bytesOf(later);
    content += bytesOf(recordOf(8)).substr(0, 40);
    writeFile(temp.path() / "_checksums", content);

    ChecksumTable table;
    ASSERT_EQ(CHECKSUMS_READ, readChecksumTable(temp.dir().c_str(), &table));
    ASSERT_EQ(COUNT, table.size());
    for (uint64_t n = 0; n < COUNT; ++n) {
        auto found = table.find(recordOf(n).key);
        ASSERT_NE(table.end(), found) << n;
        if (n != 7) {
            EXPECT_TRUE(sameRecord(recordOf(n), found->second)) << n;
        }
    }
    const ChecksumRecord& seven = table[recordOf(7).key];
    EXPECT_EQ(CHECKSUM_BAD, seven.flags & CHECKSUM_BAD);
    EXPECT_EQ(later.hash[0], seven.hash[0]);

    // Rewritten whole, the table reads back the same; a missing file is absent.
    std::vector<ChecksumRecord> records;
    for (const auto& entry : table) records.push_back(entry.second);
    ASSERT_TRUE(rewriteChecksums(temp.dir().c_str(), records));
    EXPECT_EQ(records.size() * CHECKSUM_RECORD_BYTES, readFile(temp.path() / "_checksums").size());
    ChecksumTable again;
    ASSERT_EQ(CHECKSUMS_READ, readChecksumTable(temp.dir().c_str(), &again));
    EXPECT_EQ(table.size(), again.size());
    TempDir empty;
    EXPECT_EQ(CHECKSUMS_ABSENT, readChecksumTable(empty.dir().c_str(), &again));
}

} // namespace
