# Cross build of the 64-bit driver with MinGW-w64 (posix threads, so that
# std::thread and std::mutex exist for the driver and GoogleTest).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELMARO_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
