// The status page's files (alpaca/page/), built into the server by CMake
// (cmake/EmbedFiles.cmake makes the source).
#pragma once

#include <string_view>

// The file of that name ("status.html", "status.css", "status.js"), or an
// empty view when there is none.
std::string_view statusPageFile(std::string_view name);
