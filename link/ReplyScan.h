// Reads the fields of a mount reply the way the C library's scanf would,
// but independent of the process locale (a client may have set a decimal
// comma) and without undefined behaviour on overlong numbers.
#pragma once

// Conversions: "%c" (char*), "%d" and "%Nd" (int*), "%lf" (double*).
// Whitespace in the format skips any whitespace; other characters must
// match. Numbers skip leading whitespace; integers saturate instead of
// overflowing; "%lf" accepts only decimal notation. Returns how many fields
// were converted before the first mismatch.
int scanReply(const char* text, const char* format, ...);
