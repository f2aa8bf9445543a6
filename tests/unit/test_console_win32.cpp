// The Windows console path of the output layer: a console screen buffer of
// the test's own stands for a console window, and what the program wrote is
// read back from it character by character. (Only this Windows test
// touches the system's console calls directly: it reads what the program
// wrote.) Wine offers screen buffers only to a process started on a
// terminal: test_windows_names.sh runs this test so; plain CTest skips it.
#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <string>

#include "report/output.h"

namespace {

// A new console screen buffer as a C stream; null when the process has no
// console to make one in.
FILE* openScreenBuffer(HANDLE* buffer)
{
    AllocConsole(); // fails harmlessly when the process has one already
    *buffer = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, CONSOLE_TEXTMODE_BUFFER, nullptr);
    if (*buffer == INVALID_HANDLE_VALUE) return nullptr;
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(*buffer), _O_WRONLY | _O_TEXT);
    if (descriptor < 0) {
        CloseHandle(*buffer);
        return nullptr;
    }
    FILE* stream = _wfdopen(descriptor, L"w");
    if (stream == nullptr) _close(descriptor);
    return stream;
}

std::wstring readRow(HANDLE buffer, SHORT row, DWORD length)
{
    std::wstring text(length, L' ');
    DWORD read = 0;
    COORD at = {0, row};
    if (!ReadConsoleOutputCharacterW(buffer, &text[0], length, at, &read)) return L"(unreadable)";
    text.resize(read);
    return text;
}

TEST(ConsoleTest, EveryCharacterShowsAsItselfAndLinesEndWhereTheFormatSays)
{
    HANDLE buffer;
    FILE* console = openScreenBuffer(&buffer);
    if (console == nullptr) GTEST_SKIP() << "no console can be made here";
    std::wstring name = L"caf\u00e9 \u03a0\u03b1\u03bd\u03b1\u03b3\u03b9\u03ce\u03c4\u03b7\u03c2 \u5907\u4efd";
    // A name longer than one piece of the writer, and a control character.
    std::wstring longName(300, L'x');
    EXPECT_GT(printTo(console, L"copy %s\n%s\nx%sy\n", name.c_str(), longName.c_str(), L"\n"), 0);
    fflush(console);
    CONSOLE_SCREEN_BUFFER_INFO info;
    ASSERT_TRUE(GetConsoleScreenBufferInfo(buffer, &info));
    DWORD width = static_cast<DWORD>(info.dwSize.X);
    std::wstring first = L"copy " + name;
    EXPECT_EQ(first, readRow(buffer, 0, static_cast<DWORD>(first.size())));
    // The long line wraps at the buffer's width; its rows hold it whole.
    std::wstring wrapped;
    for (SHORT row = 1; wrapped.size() < longName.size(); ++row) wrapped += readRow(buffer, row, width);
    EXPECT_EQ(longName, wrapped.substr(0, longName.size()));
    SHORT next = static_cast<SHORT>(1 + (longName.size() + width - 1) / width);
    EXPECT_EQ(L"x?y", readRow(buffer, next, 3));
    fclose(console);
}

} // namespace
