// Paths as the user gives them are UTF-8 (the manifest makes that the arguments' code
// page); Windows takes them whole only as UTF-16, through its W calls. Every path the
// tool hands to Windows goes through here, so a name outside ASCII reaches the same file
// whatever the C runtime or the standard library would have made of its bytes.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>

// Room for any path the tool takes: UTF-8 needs at least as many bytes as UTF-16 needs
// units, and the longest accepted names stay below 4,096 bytes.
inline constexpr std::size_t WIDE_PATH_SIZE = 4096;

struct wide_path_text {
    std::array<wchar_t, WIDE_PATH_SIZE> text{};
    bool whole = false;  // false: too long, and text is empty
};

// Bytes that are not UTF-8 (a system without the manifest's code page) are read in the
// process's ANSI code page instead, as the A calls would have read them.
inline wide_path_text wide_path(const char* utf8) {
    wide_path_text wide;
    const auto convert = [&](UINT code_page, DWORD flags) {
        return MultiByteToWideChar(code_page, flags, utf8, -1, wide.text.data(),
                                   static_cast<int>(wide.text.size())) != 0;
    };
    wide.whole = convert(CP_UTF8, MB_ERR_INVALID_CHARS) ||
                 (GetLastError() == ERROR_NO_UNICODE_TRANSLATION && convert(CP_ACP, 0));
    if (!wide.whole) {
        wide.text[0] = L'\0';
    }
    return wide;
}
