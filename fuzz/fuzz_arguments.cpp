// Fuzz target: the flag parser, the keyword option parser and splitList on
// any argument vector (the input cut at NUL bytes), in the order the run
// takes them, and then the way of the list items into the state file and
// back. Checks that no buffer is overrun, that the parsers keep to their
// rules, and that every filter the run accepts is remembered unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/backup_root.h"
#include "app/run.h"
#include "cmdline/arguments.h"
#include "cmdline/cmdline_state.h"
#include "engine/engine_state.h"
#include "engine/filter_lists.h"
#include "fuzz_check.h"
#include "test_support.h"

namespace {

const int MAX_ARGUMENTS = 64;

TempDir& root()
{
    static TempDir dir;
    return dir;
}

bool terminatedWithin(const NChar* text, size_t capacity)
{
    for (size_t k = 0; k < capacity; ++k)
        if (text[k] == 0) return true;
    return false;
}

bool isFlagLetter(NChar c)
{
    return c == N('h') || c == N('n') || c == N('s') || c == N('S');
}

// The vector after parseFlags: what is left are positional arguments and
// flag arguments that still hold an unknown letter.
void checkFlagsResult(int count, NChar** args, int before, const int* flags)
{
    FUZZ_CHECK(count >= 0 && count <= before);
    for (int k = 0; k < 4; ++k) FUZZ_CHECK(flags[k] == 0 || flags[k] == 1);
    for (int i = 0; i < count; ++i) {
        if (args[i][0] != N('-')) continue;
        FUZZ_CHECK(args[i][1] != 0);
        for (const NChar* c = args[i] + 1; *c != 0; ++c) FUZZ_CHECK(!isFlagLetter(*c));
    }
}

// splitList cuts a copy of value; the items joined with ',' are the value,
// or its start when it has more than MAX_LIST_ITEMS items.
void checkSplit(const NString& value, NChar** items, int count)
{
    FUZZ_CHECK(count >= 1 && count <= MAX_LIST_ITEMS);
    NString joined;
    for (int k = 0; k < count; ++k) {
        if (k > 0) joined += N(',');
        joined += items[k];
    }
    FUZZ_CHECK(value.compare(0, joined.size(), joined) == 0);
    FUZZ_CHECK(joined.size() == value.size() || count == MAX_LIST_ITEMS);
    for (int k = count; k < MAX_LIST_ITEMS; ++k) FUZZ_CHECK(items[k][0] == 0);
}

std::vector<NString> entries(const StringList& list)
{
    std::vector<NString> result;
    for (int32_t k = 0; k < list.count; ++k) result.emplace_back(list.items[k]);
    return result;
}

// Fills a list through the run's own function, after checking the split
// on a copy of the value (splitList cuts the value it is given).
void checkedFillList(NChar* value, void (*add)(const NChar*), bool isFolder)
{
    NString whole = value;
    NString copy = value;
    NChar* items[MAX_LIST_ITEMS];
    int count = splitList(&copy[0], items);
    checkSplit(whole, items, count);
    fillList(value, add, isFolder);
}

// The lists written to the state file are the lists the next run reads.
void checkListsSurviveTheStateFile()
{
    std::vector<NString> folders = entries(engineState.filters.excludedFolders);
    std::vector<NString> excluded = entries(engineState.filters.excludedTypes);
    std::vector<NString> included = entries(engineState.filters.includedTypes);
    NString rootDir = root().dir();
    NString snapshot = rootDir + native("2022_05_29") + PATH_SEP;
    writeStateFile(native("/src/").c_str(), rootDir.c_str(), snapshot.c_str());
    releaseList(&engineState.filters.excludedFolders);
    releaseList(&engineState.filters.excludedTypes);
    releaseList(&engineState.filters.includedTypes);
    FUZZ_CHECK(readStateFile(rootDir.c_str()) != nullptr);
    FUZZ_CHECK(entries(engineState.filters.excludedFolders) == folders);
    FUZZ_CHECK(entries(engineState.filters.excludedTypes) == excluded);
    FUZZ_CHECK(entries(engineState.filters.includedTypes) == included);
}

// A template with the other conversions the parser knows.
void parseOtherTemplate(int count, NChar** args)
{
    int number = -1, decimal = -1;
    NChar narrow[21];
    NChar character[2] = {1, 0};
    NChar* heap = nullptr;
    parseKeywordOptions(&count, &args, N("n=%i,w=%20s,d=%d,c=%c,p=%h"), &number, narrow, &decimal,
                        character, &heap);
    FUZZ_CHECK(terminatedWithin(narrow, 21));
    free(heap);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    resetRunState();
    // The arguments: the input cut at NUL bytes, each with its terminator.
    std::vector<NString> texts(1);
    for (size_t k = 0; k < size; ++k) {
        if (data[k] == 0) {
            if (texts.size() == MAX_ARGUMENTS) break;
            texts.emplace_back();
        } else {
            texts.back() += static_cast<NChar>(data[k]);
        }
    }
    std::vector<NChar*> vector;
    for (NString& text : texts) vector.push_back(&text[0]);
    const std::vector<NString> original = texts;

    int count = static_cast<int>(vector.size());
    NChar** args = vector.data();
    int flags[4] = {7, 7, 7, 7};
    parseFlags(&count, &args, N("hnsS"), &flags[0], &flags[1], &flags[2], &flags[3]);
    FUZZ_CHECK(args == cmdlineState.argumentCopy);
    checkFlagsResult(count, args, static_cast<int>(vector.size()), flags);

    int beforeOptions = count;
    NChar values[3][PATH_CHARS];
    int found = parseKeywordOptions(&count, &args, N("x=%s,xt=%s,it=%s"), values[0], values[1], values[2]);
    FUZZ_CHECK(found >= -1 && found <= 3);
    FUZZ_CHECK(found < 0 || count == beforeOptions - found);
    for (auto& value : values) FUZZ_CHECK(terminatedWithin(value, PATH_CHARS));
    // The caller's own vector is never changed.
    FUZZ_CHECK(texts == original);

    if (found >= 0 && (values[1][0] == 0 || values[2][0] == 0)) {
        if (values[0][0] != 0) checkedFillList(values[0], addExcludedFolder, true);
        if (values[1][0] != 0) checkedFillList(values[1], addExcludedType, false);
        if (values[2][0] != 0) checkedFillList(values[2], addIncludedType, false);
        checkListsSurviveTheStateFile();
    }

    releaseArgumentCopy();
    // The same vector once more, through the other conversions.
    texts = original;
    vector.clear();
    for (NString& text : texts) vector.push_back(&text[0]);
    parseOtherTemplate(static_cast<int>(vector.size()), vector.data());
    resetRunState();
    return 0;
}
