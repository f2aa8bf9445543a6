// Fuzz target: grouped numbers, elapsed times and the progress line. The
// first 8 bytes of the input are a count or a number of seconds, the next
// one picks copy or link, the rest is a path. Checks that every text fits
// its buffer and that the progress line keeps to the 190-character rule
// without splitting a UTF-8 character or breaking the line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "cmdline/cmdline_state.h"
#include "report/output.h"
#include "report/run_state.h"
#include "report/summary.h"
#include "test_support.h"

namespace {

// Characters as the progress rule counts them: bytes that do not continue
// a UTF-8 sequence.
size_t characters(const std::string& text)
{
    size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++count;
    return count;
}

// The start of text up to (not including) character number n.
std::string headChars(const std::string& text, size_t n)
{
    size_t seen = 0;
    for (size_t k = 0; k < text.size(); ++k) {
        if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80 && seen++ == n) return text.substr(0, k);
    }
    return text;
}

// The end of text from character number (count - n) on.
std::string tailChars(const std::string& text, size_t n)
{
    size_t count = characters(text);
    if (n >= count) return text;
    size_t skip = count - n;
    size_t seen = 0;
    for (size_t k = 0; k < text.size(); ++k) {
        if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80 && seen++ == skip) return text.substr(k);
    }
    return std::string();
}

void checkGrouped(int64_t value)
{
    std::string text = formatGrouped(value);
    FUZZ_CHECK(text.size() < static_cast<size_t>(GROUPED_TEXT_CHARS));
    if (value <= 0) return;
    // The digits of the value, the leading group right-aligned in three
    // characters, every later group of exactly three digits.
    std::string digits;
    for (char c : text)
        if (c != '.' && c != ' ') digits += c;
    FUZZ_CHECK(digits == std::to_string(value));
    size_t dot = text.find('.');
    FUZZ_CHECK((dot == std::string::npos ? text.size() : dot) >= 3);
    for (; dot != std::string::npos; dot = text.find('.', dot + 1))
        FUZZ_CHECK(text.size() >= dot + 4 && text.find_first_not_of("0123456789", dot + 1) >= dot + 4);
    FUZZ_CHECK(text.size() <= 23);
}

void checkElapsed(int64_t seconds)
{
    std::string text = formatElapsed(seconds);
    FUZZ_CHECK(text.size() < static_cast<size_t>(ELAPSED_TEXT_CHARS));
    FUZZ_CHECK(text.size() >= 5 && text.compare(text.size() - 5, 5, " sec.") == 0);
}

void checkProgress(bool copy, const std::string& path)
{
    char* printed = nullptr;
    size_t printedSize = 0;
    FILE* capture = open_memstream(&printed, &printedSize);
    FUZZ_CHECK(capture != nullptr);
    FILE* console = stdout;
    stdout = capture;
    showProgress(copy ? PROGRESS_COPY : PROGRESS_LINK, path.c_str());
    stdout = console;
    FUZZ_CHECK(fclose(capture) == 0);
    std::string line(printed, printedSize);
    free(printed);

    // A control character of the path, C0 or C1 (in UTF-8 the bytes C2 80
    // to C2 9F), is shown as one '?': one line, always.
    std::string shown;
    for (size_t k = 0; k < path.size(); ++k) {
        unsigned char c = static_cast<unsigned char>(path[k]);
        unsigned char next = k + 1 < path.size() ? static_cast<unsigned char>(path[k + 1]) : 0;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            shown += '?';
            ++k;
        } else {
            shown += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
        }
    }
    std::string whole = std::string(copy ? "copy " : "link ") + shown + "\n";
    if (characters(whole) <= static_cast<size_t>(PROGRESS_MAX_CHARS)) {
        FUZZ_CHECK(line == whole);
        return;
    }
    std::string head = headChars(whole, PROGRESS_EDGE_CHARS);
    std::string tail = tailChars(whole, PROGRESS_EDGE_CHARS);
    FUZZ_CHECK(line == head + "...." + tail);
    FUZZ_CHECK(characters(line) == static_cast<size_t>(PROGRESS_MAX_CHARS));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9) return 0;
    int64_t value;
    memcpy(&value, data, sizeof value);
    checkGrouped(value);
    checkElapsed(value);
    cmdlineState.runSettings.silent = 0;
    // The path ends at its first NUL byte, as a C string does.
    std::string path(reinterpret_cast<const char*>(data + 9), size - 9);
    path = path.c_str();
    checkProgress((data[8] & 1) != 0, path);
    return 0;
}
