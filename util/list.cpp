// linksnap-util list and status: the snapshots of a root with what the
// root records of their runs, and the one line a monitor reads.
#include <map>
#include <string>
#include <utility>

#include "report/output.h"
#include "util/util.h"

static const char* stateName(SnapshotState state)
{
    switch (state) {
    case SNAPSHOT_COMPLETE: return "complete";
    case SNAPSHOT_UNFINISHED: return "unfinished";
    case SNAPSHOT_RUNNING: return "running";
    }
    return "complete";
}

static NString native(const std::string& text)
{
    NString result;
    for (char c : text) result.push_back(static_cast<NChar>(static_cast<unsigned char>(c)));
    return result;
}

static std::string countText(int64_t value)
{
    return value < 0 ? std::string("-") : std::to_string(value);
}

static std::string jsonCount(int64_t value)
{
    return value < 0 ? std::string("null") : std::to_string(value);
}

// ---- sizes: one walk over every snapshot, each file identity counted once -------

struct SizedFile {
    uint64_t size;
    uint64_t linkCount;
    uint64_t namesSeen; // in the root's snapshots
    size_t firstSnapshot;
    size_t lastSnapshot;
    bool shared; // names in more than one snapshot
};

struct SizeScan {
    std::map<std::pair<uint64_t, uint64_t>, SizedFile> files;
    std::vector<uint64_t> total;
    size_t current;
};

static void sizeFile(const TreeFile* file, void* context)
{
    SizeScan* scan = static_cast<SizeScan*>(context);
    auto key = std::make_pair(file->identity.volume, file->identity.index);
    auto found = scan->files.find(key);
    if (found == scan->files.end()) {
        SizedFile sized = {file->size, file->linkCount, 0, scan->current, scan->current, false};
        found = scan->files.emplace(key, sized).first;
        scan->total[scan->current] += file->size;
    } else if (found->second.lastSnapshot != scan->current) {
        found->second.lastSnapshot = scan->current;
        found->second.shared = true;
        scan->total[scan->current] += file->size;
    }
    ++found->second.namesSeen;
}

// For each snapshot the bytes it alone holds (files all of whose names lie
// inside it) and its total. False when some part could not be read.
static bool measureSnapshots(const NChar* root, const std::vector<SnapshotInfo>& snapshots,
                             std::vector<uint64_t>* own, std::vector<uint64_t>* total)
{
    SizeScan scan;
    scan.total.assign(snapshots.size(), 0);
    bool whole = true;
    for (size_t i = 0; i < snapshots.size(); ++i) {
        scan.current = i;
        NString path = NString(root) + snapshots[i].name + PATH_SEP_TEXT;
        // The snapshot folder is opened below the root without following
        // a link, and every folder under it relative to its open parent.
        if (!platScanTree(path.c_str(), sizeFile, &scan)) whole = false;
    }
    own->assign(snapshots.size(), 0);
    for (const auto& entry : scan.files)
        if (!entry.second.shared && entry.second.namesSeen >= entry.second.linkCount)
            (*own)[entry.second.firstSnapshot] += entry.second.size;
    *total = scan.total;
    return whole;
}

int listCommand(int count, NChar** args)
{
    bool json = takeJsonOption(&count, args);
    bool sizes = false;
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (compareText(args[i], N("--sizes")) == 0)
            sizes = true;
        else
            args[kept++] = args[i];
    }
    if (kept != 1) {
        printTo(stderr, N("usage: linksnap-util list [--json] [--sizes] <backupdir>\n"));
        return 1;
    }
    NChar root[PATH_CHARS];
    if (!openBackupRoot(args[0], root, false)) return 1;
    std::vector<SnapshotInfo> snapshots = readSnapshots(root);
    std::vector<uint64_t> own, total;
    bool whole = !sizes || measureSnapshots(root, snapshots, &own, &total);
    if (!whole) printTo(stderr, N("some files could not be read; the sizes leave them out\n"));

    std::string out = "{\"root\":" + jsonString(NString(root)) + ",\"snapshots\":[";
    for (size_t i = 0; i < snapshots.size(); ++i) {
        const SnapshotInfo& s = snapshots[i];
        int64_t duration = s.start >= 0 && s.end >= s.start ? s.end - s.start : -1;
        if (json) {
            if (i > 0) out += ",";
            out += "{\"name\":" + jsonString(s.name) + ",\"state\":\"" + stateName(s.state) + "\",\"start\":" +
                   (s.start < 0 ? std::string("null") : "\"" + utcTimeText(s.start) + "\"") +
                   ",\"duration\":" + jsonCount(duration) + ",\"copied\":" + jsonCount(s.copied) +
                   ",\"linked\":" + jsonCount(s.linked) + ",\"failed\":" + jsonCount(s.failed);
            if (sizes)
                out += ",\"own_bytes\":" + std::to_string(own[i]) + ",\"total_bytes\":" + std::to_string(total[i]);
            out += "}";
            continue;
        }
        std::string line = std::string(stateName(s.state));
        line.resize(10, ' ');
        line += " start " + (s.start < 0 ? std::string("-") : utcTimeText(s.start)) + "  duration " +
                (duration < 0 ? std::string("-") : std::to_string(duration) + "s") + "  copied " +
                countText(s.copied) + "  linked " + countText(s.linked) + "  failed " + countText(s.failed);
        if (sizes) line += "  own " + std::to_string(own[i]) + " bytes  total " + std::to_string(total[i]) + " bytes";
        printTo(stdout, N("%s  %s\n"), s.name.c_str(), native(line).c_str());
    }
    if (json) writeJsonLine(out + "]}");
    return whole ? 0 : 1;
}

// ---- status ----------------------------------------------------------------------

enum MonitorCode { MONITOR_OK = 0, MONITOR_WARNING = 1, MONITOR_CRITICAL = 2, MONITOR_UNKNOWN = 3 };

// The monitors' word for each code: a constant table, never written.
static constexpr const char* MONITOR_NAMES[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

const int64_t DEFAULT_MAX_AGE_HOURS = 26;
const int64_t MOST_MAX_AGE_HOURS = 100000;

static int64_t daysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2 ? 1 : 0;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The calendar time at the end of the local day a snapshot is named after
// (the local clock's offset from UTC taken as it is now).
static int64_t endOfSnapshotDay(const NString& name, int64_t now)
{
    LocalTime local;
    int64_t offset = 0;
    if (platLocalClock(now, &local))
        offset = daysFromCivil(local.year, local.month, local.day) * 86400 + local.hour * 3600 + local.minute * 60 +
                 local.second - now;
    int64_t y = 0, m = 0, d = 0;
    for (int i = 0; i < 4; ++i) y = y * 10 + (name[i] - N('0'));
    for (int i = 5; i < 7; ++i) m = m * 10 + (name[i] - N('0'));
    for (int i = 8; i < 10; ++i) d = d * 10 + (name[i] - N('0'));
    return (daysFromCivil(y, m, d) + 1) * 86400 - offset;
}

static std::string ageText(int64_t seconds)
{
    int64_t hours = seconds / 3600;
    int64_t minutes = seconds / 60 % 60;
    return hours >= 48 ? std::to_string(hours / 24) + "d " + std::to_string(hours % 24) + "h"
                       : std::to_string(hours) + "h " + std::to_string(minutes) + "m";
}

static int monitorLine(MonitorCode code, const std::string& text, bool json, const std::string& jsonFacts)
{
    if (json)
        writeJsonLine(std::string("{\"status\":\"") + MONITOR_NAMES[code] + "\",\"code\":" + std::to_string(code) +
                      ",\"text\":" + jsonString(native(text)) + jsonFacts + "}");
    else
        printTo(stdout, N("LINKSNAP %s - %s\n"), native(MONITOR_NAMES[code]).c_str(), native(text).c_str());
    return code;
}

static std::string perfCount(int64_t value)
{
    return value < 0 ? std::string("U") : std::to_string(value);
}

int statusCommand(int count, NChar** args)
{
    bool json = takeJsonOption(&count, args);
    int64_t maxAgeHours = DEFAULT_MAX_AGE_HOURS;
    static const NChar MAX_AGE[] = N("--max-age=");
    const size_t keyLength = sizeof MAX_AGE / sizeof MAX_AGE[0] - 1;
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (compareTextN(args[i], MAX_AGE, keyLength) != 0) {
            args[kept++] = args[i];
            continue;
        }
        const NChar* value = args[i] + keyLength;
        maxAgeHours = 0;
        for (const NChar* c = value; *c != 0 && maxAgeHours <= MOST_MAX_AGE_HOURS; ++c)
            maxAgeHours = *c >= N('0') && *c <= N('9') ? maxAgeHours * 10 + (*c - N('0')) : MOST_MAX_AGE_HOURS + 1;
        if (value[0] == 0 || maxAgeHours < 1 || maxAgeHours > MOST_MAX_AGE_HOURS)
            return monitorLine(MONITOR_UNKNOWN,
                               "--max-age takes hours, 1 to " + std::to_string(MOST_MAX_AGE_HOURS), json, "");
    }
    if (kept != 1) return monitorLine(MONITOR_UNKNOWN, "usage: linksnap-util status <backupdir> [--max-age=<hours>]", json, "");
    NChar root[PATH_CHARS];
    if (!openBackupRoot(args[0], root, true)) return monitorLine(MONITOR_UNKNOWN, "no backup root here", json, "");
    NChar statePath[PATH_CHARS];
    NString source, latest;
    // Whether the state file is there; it is read without following a link.
    if (!formatText(statePath, PATH_CHARS, N("%s_dir"), root) || platGetAttributes(statePath) == INVALID_ATTRIBUTES ||
        !readRootState(root, &source, &latest))
        return monitorLine(MONITOR_UNKNOWN, "no state file in the backup root", json, "");

    std::vector<SnapshotInfo> snapshots = readSnapshots(root);
    int64_t now = platNow();
    int64_t maxAge = maxAgeHours * 3600;
    const SnapshotInfo* newest = nullptr;
    for (const SnapshotInfo& s : snapshots)
        if (s.state == SNAPSHOT_COMPLETE) newest = &s;
    const SnapshotInfo* last = snapshots.empty() ? nullptr : &snapshots.back();

    MonitorCode code = MONITOR_OK;
    std::string text;
    int64_t age = -1;
    if (newest == nullptr) {
        code = MONITOR_CRITICAL;
        text = "no complete snapshot";
    } else {
        int64_t dated = newest->end >= 0 ? newest->end : endOfSnapshotDay(newest->name, now);
        age = now > dated ? now - dated : 0;
        std::string name(newest->name.begin(), newest->name.end());
        text = "newest complete snapshot " + name + ", " + ageText(age) + " old";
        if (newest->failed >= 0) text += ", " + std::to_string(newest->failed) + " failed files";
        if (age > maxAge) {
            code = MONITOR_CRITICAL;
            text += ", older than " + std::to_string(maxAgeHours) + "h";
        } else if (newest->failed > 0) {
            code = MONITOR_WARNING;
        }
    }
    if (last != nullptr && last->state == SNAPSHOT_UNFINISHED) {
        code = MONITOR_CRITICAL;
        text += "; " + std::string(last->name.begin(), last->name.end()) + " unfinished and no run is making it";
    } else if (last != nullptr && last->state == SNAPSHOT_RUNNING) {
        text += "; " + std::string(last->name.begin(), last->name.end()) + " running";
    }
    int64_t failed = newest != nullptr ? newest->failed : -1;
    int64_t files = newest != nullptr && newest->copied >= 0 && newest->linked >= 0 ? newest->copied + newest->linked : -1;
    int64_t bytes = newest != nullptr ? newest->bytesCopied : -1;
    text += " | age=" + (age < 0 ? std::string("U") : std::to_string(age)) + "s;;" + std::to_string(maxAge) +
            " failed=" + perfCount(failed) + " files=" + perfCount(files) + " bytes=" + perfCount(bytes) +
            (bytes < 0 ? "" : "B");
    std::string facts = ",\"newest_complete\":" +
                        (newest == nullptr ? std::string("null") : jsonString(newest->name)) +
                        ",\"age\":" + jsonCount(age) + ",\"max_age\":" + std::to_string(maxAge) +
                        ",\"failed\":" + jsonCount(failed) + ",\"files\":" + jsonCount(files) +
                        ",\"bytes_copied\":" + jsonCount(bytes);
    return monitorLine(code, text, json, facts);
}
