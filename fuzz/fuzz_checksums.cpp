// Fuzz target: the reader of the checksum records on any bytes. It stays
// within the data, takes only records that are whole and valid (each
// encodes back to the very bytes it came from), and finds the same records
// when the data arrives in pieces, as the reader of the file gets it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "root/checksums.h"

namespace {

void take(const ChecksumRecord& record, void* context)
{
    static_cast<std::vector<ChecksumRecord>*>(context)->push_back(record);
}

bool same(const ChecksumRecord& a, const ChecksumRecord& b)
{
    return a.key == b.key && a.flags == b.flags && memcmp(a.hash, b.hash, 16) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<ChecksumRecord> whole;
    size_t used = scanChecksumRecords(data, size, take, &whole);
    FUZZ_CHECK(used <= size);
    FUZZ_CHECK(size - used < CHECKSUM_RECORD_BYTES);
    for (const ChecksumRecord& record : whole) {
        unsigned char bytes[CHECKSUM_RECORD_BYTES];
        encodeChecksumRecord(record, bytes);
        ChecksumRecord back;
        FUZZ_CHECK(decodeChecksumRecord(bytes, &back) && same(back, record));
    }
    // The same bytes in pieces of a size taken from the data itself.
    size_t piece = size > 0 ? 1 + data[0] % 97 : 1;
    std::vector<ChecksumRecord> pieces;
    std::vector<unsigned char> held;
    for (size_t at = 0; at < size; at += piece) {
        size_t n = size - at < piece ? size - at : piece;
        held.insert(held.end(), data + at, data + at + n);
        size_t done = scanChecksumRecords(held.data(), held.size(), take, &pieces);
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(done));
    }
    FUZZ_CHECK(pieces.size() == whole.size());
    for (size_t k = 0; k < whole.size(); ++k) FUZZ_CHECK(same(pieces[k], whole[k]));
    return 0;
}
