#include "cmdline/arguments.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>

#include "cmdline/cmdline_state.h"

// On POSIX '/' begins every absolute path, so only '-' marks a flag there.
static bool isFlagPrefix(NChar c)
{
    return c == N('-') || (PATH_SEP == N('\\') && c == N('/'));
}

bool isFlagArgument(const NChar* argument)
{
    return isFlagPrefix(argument[0]);
}

NChar** copyArguments(int count, NChar** vector)
{
    size_t size = static_cast<size_t>(count) * sizeof(NChar*);
    for (int i = 0; i < count; ++i) size += (textLength(vector[i]) + 1) * sizeof(NChar);
    // At least one byte, so that an empty vector still gets its block.
    NChar** block = static_cast<NChar**>(malloc(size > 0 ? size : 1));
    if (block == nullptr) {
        fputs("linksnap: out of memory\n", stderr);
        exit(1);
    }
    NChar* strings = reinterpret_cast<NChar*>(block + count);
    for (int i = 0; i < count; ++i) {
        size_t length = textLength(vector[i]);
        memcpy(strings, vector[i], (length + 1) * sizeof(NChar));
        block[i] = strings;
        strings += length + 1;
    }
    return block;
}

void releaseArgumentCopy()
{
    if (cmdlineState.argumentCopy != nullptr) {
        free(cmdlineState.argumentCopy);
        cmdlineState.argumentCopy = nullptr;
    }
}

static void ensureArgumentCopy(int* count, NChar*** vector)
{
    if (cmdlineState.argumentCopy != nullptr) return;
    cmdlineState.argumentCopy = copyArguments(*count, *vector);
    *vector = cmdlineState.argumentCopy;
    atexit(releaseArgumentCopy);
}

static void removeArgument(int* count, NChar** args, int index)
{
    for (int k = index; k + 1 < *count; ++k) args[k] = args[k + 1];
    --*count;
}

int parseFlagsV(int* count, NChar*** vector, const NChar* letters, va_list variables)
{
    NChar** args = *vector;
    const size_t letterCount = textLength(letters);
    int* flags[256];
    const size_t taken = letterCount < 256 ? letterCount : 256;
    for (size_t k = 0; k < taken; ++k) {
        flags[k] = va_arg(variables, int*);
        *flags[k] = 0;
    }
    int i = 0;
    while (i < *count) {
        NChar* arg = args[i];
        if (!isFlagPrefix(arg[0])) {
            ++i;
            continue;
        }
        size_t at = 1;
        while (arg[at] != 0) {
            size_t k = 0;
            while (k < taken && letters[k] != arg[at]) ++k;
            if (k < taken) {
                *flags[k] = 1;
                memmove(arg + at, arg + at + 1, textLength(arg + at) * sizeof(NChar));
            } else {
                ++at;
            }
        }
        if (arg[1] == 0)
            removeArgument(count, args, i);
        else
            ++i;
    }
    return *count;
}

int parseFlags(int* count, NChar*** vector, const NChar* letters, ...)
{
    ensureArgumentCopy(count, vector);
    va_list variables;
    va_start(variables, letters);
    int result = parseFlagsV(count, vector, letters, variables);
    va_end(variables);
    return result;
}

const int KEY_CHARS = 82;
const int CONVERSION_CHARS = 20;

const NChar* nextTemplateEntry(const NChar* position, NChar* key, NChar* conversion, NChar* letter)
{
    int k = 0;
    while (*position != 0 && *position != N('=') && *position != N(',')) {
        if (k < KEY_CHARS - 2) key[k++] = *position;
        ++position;
    }
    key[k++] = N('=');
    key[k] = 0;
    if (*position == N('=')) ++position;
    int c = 0;
    while (*position != 0 && *position != N(',')) {
        if (c < CONVERSION_CHARS - 1) conversion[c++] = *position;
        ++position;
    }
    conversion[c] = 0;
    NChar last = c > 0 ? conversion[c - 1] : 0;
    *letter = (last >= N('a') && last <= N('z')) ? static_cast<NChar>(last - N('a') + N('A')) : last;
    if (*position == N(',')) ++position;
    return position;
}

// The width that the C runtime's _wtoi reads after the conversion's first
// character: 20 for "%20s", 0 for "%s".
static int conversionWidth(const NChar* conversion)
{
    if (conversion[0] == 0) return 0;
    const NChar* at = conversion + 1;
    long width = 0;
    while (*at >= N('0') && *at <= N('9') && width < 100000000) width = width * 10 + (*at++ - N('0'));
    return static_cast<int>(width);
}

int parseKeywordOptionsV(int* count, NChar*** vector, const NChar* templ, va_list destinations)
{
    if (templ[0] == 0) return 0;
    NChar** args = *vector;
    int matched = 0;
    bool tooLong = false;
    const NChar* position = templ;
    while (*position != 0) {
        NChar key[KEY_CHARS];
        NChar conversion[CONVERSION_CHARS];
        NChar letter;
        position = nextTemplateEntry(position, key, conversion, &letter);
        void* destination = va_arg(destinations, void*);
        bool isText = letter == N('C') || letter == N('S') || letter == N(']');
        if (isText)
            static_cast<NChar*>(destination)[0] = 0;
        else if (letter != N('H'))
            scanText(N("0"), conversion, destination);

        size_t keyLength = textLength(key);
        int found = -1;
        for (int i = 0; i < *count; ++i) {
            if (compareText(args[i], N("-")) == 0) break;
            if (compareTextN(args[i], key, keyLength) == 0) {
                found = i;
                break;
            }
        }
        if (found < 0) continue;
        ++matched;
        const NChar* value = args[found] + keyLength;
        if (letter == N('S')) {
            NChar* text = static_cast<NChar*>(destination);
            int width = conversionWidth(conversion);
            size_t length = textLength(value);
            if (width > 0) {
                size_t take = length < static_cast<size_t>(width) ? length : static_cast<size_t>(width);
                memcpy(text, value, take * sizeof(NChar));
                text[take] = 0;
            } else if (!copyText(text, OPTION_VALUE_CHARS, value)) {
                tooLong = true;
            }
        } else if (letter == N('H')) {
            size_t size = (textLength(value) + 1) * sizeof(NChar);
            NChar* copy = static_cast<NChar*>(malloc(size));
            if (copy != nullptr) memcpy(copy, value, size);
            *static_cast<NChar**>(destination) = copy;
        } else if (letter == N('I')) {
            if (value[0] == N('0') && (value[1] == N('x') || value[1] == N('X')))
                scanText(value + 2, N("%x"), destination);
            else
                scanText(value, N("%d"), destination);
        } else {
            scanText(value, conversion, destination);
        }
        removeArgument(count, args, found);
    }
    return tooLong ? -1 : matched;
}

int parseKeywordOptions(int* count, NChar*** vector, const NChar* templ, ...)
{
    ensureArgumentCopy(count, vector);
    va_list destinations;
    va_start(destinations, templ);
    int result = parseKeywordOptionsV(count, vector, templ, destinations);
    va_end(destinations);
    return result;
}

int splitList(NChar* text, NChar** items)
{
    for (int k = 0; k < MAX_LIST_ITEMS; ++k) items[k] = cmdlineState.emptyItem;
    int stored = 0;
    NChar* at = text;
    for (;;) {
        items[stored++] = at;
        while (*at != 0 && *at != N(',')) ++at;
        if (*at == 0) return stored;
        *at++ = 0;
        if (stored == MAX_LIST_ITEMS) return stored;
    }
}
