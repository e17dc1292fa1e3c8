// The process environment, read as the system keeps it: on Windows a
// variable set while the process runs (SetEnvironmentVariable) is seen
// too, which the C library's copy would miss.
#pragma once

#include <string>

// False when the variable is not set; its text otherwise.
bool readEnvironment(const char* name, std::string& value);
