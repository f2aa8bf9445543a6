#include "root/catalog.h"

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"

static const NChar CATALOG_FILE_NAME[] = N("_catalog");
static const NChar CATALOG_NEW_NAME[] = N("_catalog.new");

// A line longer than this is no line of ours: it is skipped without being
// held whole (the eight fields take at most about 130 bytes).
const size_t CATALOG_LINE_BYTES = 1024;

static const char STATE_UNFINISHED[] = "unfinished";
static const char STATE_COMPLETE[] = "complete";

bool isSnapshotFolderName(const NChar* name)
{
    static const NChar FORM[] = N("dddd_dd_dd");
    for (int k = 0; FORM[k] != 0; ++k) {
        if (FORM[k] == N('d') ? !(name[k] >= N('0') && name[k] <= N('9')) : name[k] != FORM[k])
            return false;
    }
    return name[10] == 0;
}

// ---- times ------------------------------------------------------------------------

static int64_t floorDivide(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back, in
// 400-year eras that begin on 1 March (the leap day ends its year).
static int64_t daysFromCivil(int64_t year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    int64_t era = floorDivide(year, 400);
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

static void civilFromDays(int64_t days, int64_t* year, int* month, int* day)
{
    days += 719468;
    int64_t era = floorDivide(days, 146097);
    int64_t dayOfEra = days - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    *month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}

// The four-digit years of ISO 8601's basic form.
const int64_t FIRST_TIME = -62135596800;  // 0001-01-01T00:00:00Z
const int64_t LAST_TIME = 253402300799;   // 9999-12-31T23:59:59Z

std::string formatUtcTime(int64_t time)
{
    if (time < FIRST_TIME || time > LAST_TIME) return std::string();
    int64_t days = floorDivide(time, 86400);
    int64_t seconds = time - days * 86400;
    int64_t year;
    int month, day;
    civilFromDays(days, &year, &month, &day);
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(year), month, day,
             static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return text;
}

static bool digitsAt(const char* text, int count, int* value)
{
    *value = 0;
    for (int k = 0; k < count; ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
        *value = *value * 10 + (text[k] - '0');
    }
    return true;
}

bool parseUtcTime(const char* text, size_t length, int64_t* time)
{
    static const char FORM[] = "dddd-dd-ddTdd:dd:ddZ";
    if (length != sizeof FORM - 1) return false;
    for (size_t k = 0; k < length; ++k)
        if (FORM[k] != 'd' && text[k] != FORM[k]) return false;
    int year, month, day, hour, minute, second;
    if (!digitsAt(text, 4, &year) || !digitsAt(text + 5, 2, &month) || !digitsAt(text + 8, 2, &day) ||
        !digitsAt(text + 11, 2, &hour) || !digitsAt(text + 14, 2, &minute) || !digitsAt(text + 17, 2, &second))
        return false;
    if (year < 1 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return false;
    // The day must exist: it comes back as itself.
    int64_t days = daysFromCivil(year, month, day);
    int64_t checkYear;
    int checkMonth, checkDay;
    civilFromDays(days, &checkYear, &checkMonth, &checkDay);
    if (checkYear != year || checkMonth != month || checkDay != day) return false;
    *time = days * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

// ---- one line -------------------------------------------------------------------

// A count: decimal digits (at most 18, so it fits), or empty for unknown.
static bool parseCount(const char* text, size_t length, int64_t* value)
{
    if (length == 0) {
        *value = CATALOG_UNKNOWN;
        return true;
    }
    if (length > 18) return false;
    int64_t number = 0;
    for (size_t k = 0; k < length; ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
        number = number * 10 + (text[k] - '0');
    }
    *value = number;
    return true;
}

static bool parseTimeField(const char* text, size_t length, int64_t* time)
{
    if (length == 0) {
        *time = CATALOG_UNKNOWN;
        return true;
    }
    return parseUtcTime(text, length, time);
}

static bool fieldIs(const char* text, size_t length, const char* word)
{
    return length == strlen(word) && memcmp(text, word, length) == 0;
}

bool parseCatalogLine(const char* line, size_t length, CatalogEntry* entry)
{
    // Eight fields, and the three of what the run made where they stand.
    const int REQUIRED = 8;
    const int FIELDS = 11;
    const char* start[FIELDS];
    size_t size[FIELDS];
    int count = 0;
    size_t from = 0;
    // The first eleven fields; whatever follows a tab after them is left.
    for (size_t k = 0; k <= length && count < FIELDS; ++k) {
        if (k == length || line[k] == '\t') {
            start[count] = line + from;
            size[count] = k - from;
            ++count;
            from = k + 1;
        }
    }
    if (count < REQUIRED) return false;

    CatalogEntry read = {};
    if (size[0] != static_cast<size_t>(CATALOG_NAME_CHARS - 1)) return false;
    for (int k = 0; k < CATALOG_NAME_CHARS - 1; ++k) read.name[k] = static_cast<NChar>(start[0][k]);
    read.name[CATALOG_NAME_CHARS - 1] = 0;
    if (!isSnapshotFolderName(read.name)) return false;

    if (fieldIs(start[1], size[1], STATE_UNFINISHED))
        read.state = CATALOG_UNFINISHED;
    else if (fieldIs(start[1], size[1], STATE_COMPLETE))
        read.state = CATALOG_COMPLETE;
    else
        return false;
    if (!parseTimeField(start[2], size[2], &read.startTime) || !parseTimeField(start[3], size[3], &read.endTime))
        return false;
    // An unfinished snapshot has not ended.
    if (read.state == CATALOG_UNFINISHED && read.endTime != CATALOG_UNKNOWN) return false;
    int64_t* counts[4] = {&read.counts.writeErrors, &read.counts.linkErrors, &read.counts.unreadableFiles,
                          &read.counts.specialFiles};
    for (int k = 0; k < 4; ++k)
        if (!parseCount(start[4 + k], size[4 + k], counts[k])) return false;
    // A line of a version that did not record them knows nothing of them.
    int64_t* made[3] = {&read.counts.filesCopied, &read.counts.filesLinked, &read.counts.bytesCopied};
    for (int k = 0; k < 3; ++k) {
        *made[k] = CATALOG_UNKNOWN;
        if (REQUIRED + k < count && !parseCount(start[REQUIRED + k], size[REQUIRED + k], made[k])) return false;
    }
    *entry = read;
    return true;
}

static CatalogCounts unknownCounts()
{
    return {CATALOG_UNKNOWN, CATALOG_UNKNOWN, CATALOG_UNKNOWN, CATALOG_UNKNOWN,
            CATALOG_UNKNOWN, CATALOG_UNKNOWN, CATALOG_UNKNOWN};
}

static std::string countText(int64_t value)
{
    return value < 0 ? std::string() : std::to_string(value);
}

static std::string timeText(int64_t time)
{
    return time == CATALOG_UNKNOWN ? std::string() : formatUtcTime(time);
}

std::string formatCatalogLine(const CatalogEntry& entry)
{
    std::string line;
    for (int k = 0; k < CATALOG_NAME_CHARS - 1 && entry.name[k] != 0; ++k)
        line += static_cast<char>(entry.name[k]);
    line += '\t';
    line += entry.state == CATALOG_COMPLETE ? STATE_COMPLETE : STATE_UNFINISHED;
    line += '\t' + timeText(entry.startTime);
    line += '\t' + (entry.state == CATALOG_COMPLETE ? timeText(entry.endTime) : std::string());
    line += '\t' + countText(entry.counts.writeErrors);
    line += '\t' + countText(entry.counts.linkErrors);
    line += '\t' + countText(entry.counts.unreadableFiles);
    line += '\t' + countText(entry.counts.specialFiles);
    line += '\t' + countText(entry.counts.filesCopied);
    line += '\t' + countText(entry.counts.filesLinked);
    line += '\t' + countText(entry.counts.bytesCopied);
    line += "\r\n";
    return line;
}

// ---- the catalog -------------------------------------------------------------------

static bool comesBefore(const CatalogEntry& entry, const NChar* name)
{
    return compareText(entry.name, name) < 0;
}

CatalogEntry* findCatalogEntry(Catalog* catalog, const NChar* name)
{
    auto at = std::lower_bound(catalog->entries.begin(), catalog->entries.end(), name, comesBefore);
    return at != catalog->entries.end() && compareText(at->name, name) == 0 ? &*at : nullptr;
}

const CatalogEntry* findCatalogEntry(const Catalog& catalog, const NChar* name)
{
    return findCatalogEntry(const_cast<Catalog*>(&catalog), name);
}

// The entry of name, made (unfinished, nothing known) where there is none.
static CatalogEntry* entryFor(Catalog* catalog, const NChar* name)
{
    auto at = std::lower_bound(catalog->entries.begin(), catalog->entries.end(), name, comesBefore);
    if (at != catalog->entries.end() && compareText(at->name, name) == 0) return &*at;
    CatalogEntry entry = {};
    copyText(entry.name, CATALOG_NAME_CHARS, name);
    entry.state = CATALOG_UNFINISHED;
    entry.startTime = entry.endTime = CATALOG_UNKNOWN;
    entry.counts = unknownCounts();
    return &*catalog->entries.insert(at, entry);
}

void recordSnapshotBegun(Catalog* catalog, const NChar* name, int64_t time)
{
    CatalogEntry* entry = entryFor(catalog, name);
    entry->state = CATALOG_UNFINISHED;
    if (entry->startTime == CATALOG_UNKNOWN) entry->startTime = time;
    entry->endTime = CATALOG_UNKNOWN;
    entry->counts = unknownCounts();
}

void recordSnapshotCompleted(Catalog* catalog, const NChar* name, int64_t time, const CatalogCounts& counts)
{
    CatalogEntry* entry = entryFor(catalog, name);
    entry->state = CATALOG_COMPLETE;
    entry->endTime = time;
    entry->counts = counts;
}

// Adds a line read from the file; a later line of the same name replaces
// an earlier one.
static void takeLine(Catalog* catalog, const CatalogEntry& entry)
{
    *entryFor(catalog, entry.name) = entry;
}

CatalogReadResult readCatalog(const NChar* backupRoot, Catalog* catalog)
{
    catalog->entries.clear();
    NChar path[PATH_CHARS];
    if (!formatText(path, PATH_CHARS, N("%s%s"), backupRoot, CATALOG_FILE_NAME)) return CATALOG_UNREADABLE;
    // Missing and failed are different answers; the file itself is opened
    // without following a link and only as a regular file.
    if (platGetAttributes(path) == INVALID_ATTRIBUTES) return CATALOG_ABSENT;
    FILE* file = platOpenStream(path, "rb");
    if (file == nullptr) return CATALOG_UNREADABLE;
    char line[CATALOG_LINE_BYTES];
    size_t length = 0;
    bool tooLong = false;
    for (;;) {
        int c = getc(file);
        if (c == EOF || c == '\n') {
            if (length > 0 && line[length - 1] == '\r') --length;
            CatalogEntry entry;
            if (!tooLong && parseCatalogLine(line, length, &entry)) takeLine(catalog, entry);
            length = 0;
            tooLong = false;
            if (c == EOF) break;
            continue;
        }
        if (length == CATALOG_LINE_BYTES) {
            tooLong = true;
            continue;
        }
        line[length++] = static_cast<char>(c);
    }
    bool readWhole = !ferror(file);
    fclose(file);
    return readWhole ? CATALOG_READ : CATALOG_UNREADABLE;
}

bool writeCatalog(const NChar* backupRoot, const Catalog& catalog, NChar* reason, size_t capacity)
{
    reason[0] = 0;
    NChar path[PATH_CHARS];
    NChar newPath[PATH_CHARS];
    if (!formatText(path, PATH_CHARS, N("%s%s"), backupRoot, CATALOG_FILE_NAME) ||
        !formatText(newPath, PATH_CHARS, N("%s%s"), backupRoot, CATALOG_NEW_NAME)) {
        copyText(reason, capacity, N("path too long"));
        return false;
    }
    // A new file left by a stopped run goes first: the new one is created
    // afresh, never written through whatever has its name.
    if (platGetAttributes(newPath) != INVALID_ATTRIBUTES) platRemoveFile(newPath);
    FILE* file = platOpenStream(newPath, "wb");
    if (file == nullptr) {
        platFailureText(reason, capacity);
        return false;
    }
    for (const CatalogEntry& entry : catalog.entries) {
        std::string line = formatCatalogLine(entry);
        fwrite(line.data(), 1, line.size(), file);
    }
    // The old catalog is replaced only by a whole new one.
    bool complete = !ferror(file) && platSyncStream(file);
    complete = fclose(file) == 0 && complete;
    if (complete && platReplaceFile(newPath, path)) return true;
    // The reason of the write, not of the clean-up.
    platFailureText(reason, capacity);
    if (reason[0] == 0) copyText(reason, capacity, N("write: failed"));
    platRemoveFile(newPath);
    return false;
}

// ---- which snapshots are unfinished --------------------------------------------

bool isUnfinishedSnapshot(const Catalog& catalog, const NChar* name, const NChar* stateName,
                          LockNamesSnapshot lockNames)
{
    if (compareText(name, stateName) == 0) return false;
    const CatalogEntry* entry = findCatalogEntry(catalog, name);
    if (entry != nullptr) return entry->state == CATALOG_UNFINISHED;
    return lockNames != nullptr && lockNames(name);
}

bool reconcileCatalog(Catalog* catalog, const NChar* backupRoot, const NChar* stateName,
                      LockNamesSnapshot lockNames)
{
    std::vector<std::basic_string<NChar>> folders;
    FindEntry found;
    FindHandle* find = platFindFirst(backupRoot, &found);
    // A root that cannot be listed tells nothing about what is gone.
    if (find == nullptr) return false;
    do {
        if ((found.attributes & ATTR_DIRECTORY) && !(found.attributes & ATTR_REPARSE_POINT) &&
            isSnapshotFolderName(found.name))
            folders.emplace_back(found.name);
    } while (platFindNext(find, &found));
    platFindClose(find);
    std::sort(folders.begin(), folders.end());

    bool changed = false;
    size_t before = catalog->entries.size();
    catalog->entries.erase(std::remove_if(catalog->entries.begin(), catalog->entries.end(),
                                          [&](const CatalogEntry& entry) {
                                              return !std::binary_search(folders.begin(), folders.end(),
                                                                         entry.name);
                                          }),
                           catalog->entries.end());
    changed = catalog->entries.size() != before;
    for (const auto& folder : folders) {
        const NChar* name = folder.c_str();
        CatalogEntry* entry = findCatalogEntry(catalog, name);
        if (compareText(name, stateName) == 0) {
            // _dir is written right before the completion: a run stopped
            // between the two left a complete snapshot.
            if (entry == nullptr || entry->state != CATALOG_COMPLETE) {
                entry = entryFor(catalog, name);
                entry->state = CATALOG_COMPLETE;
                changed = true;
            }
        } else if (entry == nullptr && lockNames != nullptr && lockNames(name)) {
            entryFor(catalog, name);
            changed = true;
        }
    }
    return changed;
}

void lastNameOf(const NChar* path, NChar* name, size_t capacity)
{
    name[0] = 0;
    size_t end = textLength(path);
    while (end > 0 && (path[end - 1] == N('/') || path[end - 1] == N('\\'))) --end;
    size_t start = end;
    while (start > 0 && path[start - 1] != N('/') && path[start - 1] != N('\\')) --start;
    if (end - start + 1 > capacity) return;
    memcpy(name, path + start, (end - start) * sizeof(NChar));
    name[end - start] = 0;
}
