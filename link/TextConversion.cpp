#include "TextConversion.h"

#include <windows.h>

bool widenText(const char* text, std::wstring& wide)
{
    if (!text)
        return false;
    int length = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    if (length <= 0)
        return false;
    std::wstring converted;
    try {
        converted.assign(static_cast<std::size_t>(length), L'\0');
    } catch (...) {
        return false;
    }
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, &converted[0], length) != length)
        return false;
    converted.resize(static_cast<std::size_t>(length) - 1);
    wide.swap(converted);
    return true;
}

std::wstring widened(const char* text)
{
    std::wstring wide;
    widenText(text, wide);
    return wide;
}
