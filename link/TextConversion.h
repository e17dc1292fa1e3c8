// The one way the driver turns its ANSI texts (messages, names, replies)
// into the UTF-16 that automation strings and the registry's wide API hold.
#pragma once

#include <string>

// Text in the calling thread's ANSI code page, as UTF-16. False when the
// text cannot be converted or memory runs out; `wide` is then unchanged.
bool widenText(const char* text, std::wstring& wide);
// The same for text that must convert (our own ASCII constants); empty on
// failure.
std::wstring widened(const char* text);
