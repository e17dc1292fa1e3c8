// The config's files on Windows: %PROGRAMDATA%\Velmaro\alpaca.conf by
// default (one config for the machine, as the server serves every user's
// programs), replaced through a temporary file and MoveFileEx.
#include "ConfigFiles.h"
#include "ServerConfig.h"

#include <windows.h>
#include <bcrypt.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* kFolderName = "Velmaro";
constexpr const char* kFileName = "alpaca.conf";

std::string lastErrorText(DWORD code)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string reason = length && text ? std::string(text, length) : "error " + std::to_string(code);
    if (text)
        LocalFree(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
        reason.pop_back();
    return reason;
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return ".";
    return path.substr(0, slash == 0 ? 1 : slash);
}

bool isFolder(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool writeWhole(HANDLE file, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!WriteFile(file, text.data() + done, DWORD(text.size() - done), &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return FlushFileBuffers(file) != 0;
}

// The machine's config folder is every user's: whoever starts the server
// first makes it, and ProgramData would leave the files in it writable by
// that user alone, so another user's server could not store a choice. Full
// control for the system and administrators, change for users, passed on
// to the files in it.
constexpr const char* kSharedFolderAccess = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)";

bool makeSharedFolder(const std::string& folder)
{
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kSharedFolderAccess, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return CreateDirectoryA(folder.c_str(), nullptr) != 0;
    attributes.lpSecurityDescriptor = descriptor;
    const BOOL made = CreateDirectoryA(folder.c_str(), &attributes);
    const DWORD failure = GetLastError();
    LocalFree(descriptor);
    SetLastError(failure);
    return made != 0;
}

} // namespace

std::string defaultConfigPath()
{
    const char* data = std::getenv("PROGRAMDATA");
    if (!data || !*data)
        return {};
    return std::string(data) + "\\" + kFolderName + "\\" + kFileName;
}

bool readSmallFile(const std::string& path, std::size_t largest, std::string& text, bool& missing,
                   std::string& error)
{
    missing = false;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (isFolder(path)) {
            error = "it is a folder";
            return false;
        }
        missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        error = lastErrorText(code);
        return false;
    }
    bool ok = true;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        error = "it is not a regular file";
        ok = false;
    }
    char buffer[4096];
    // One byte past the limit tells a file that is too large.
    while (ok && text.size() <= largest) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            error = lastErrorText(GetLastError());
            ok = false;
        } else if (got == 0) {
            break;
        } else {
            text.append(buffer, got);
        }
    }
    if (ok && text.size() > largest) {
        error = "it is over 64 KiB";
        ok = false;
    }
    CloseHandle(file);
    return ok;
}

bool replaceFile(const std::string& path, const std::string& text, std::string& error)
{
    const std::string temporary = path + ".new";
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot make a file in " + folderOf(path) + ": " + lastErrorText(GetLastError());
        return false;
    }
    const bool written = writeWhole(file, text);
    const DWORD failure = written ? 0 : GetLastError();
    CloseHandle(file);
    if (!written) {
        DeleteFileA(temporary.c_str());
        error = "cannot make a file in " + folderOf(path) + ": " + lastErrorText(failure);
        return false;
    }
    if (!MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "cannot replace " + path + ": " + lastErrorText(GetLastError());
        DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

bool prepareConfigFolder(const std::string& path, bool isDefaultPath, std::string& error)
{
    const std::string folder = folderOf(path);
    if (isFolder(folder))
        return true;
    if (GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES) {
        error = "the config folder " + folder + " is not a folder";
        return false;
    }
    if (!isDefaultPath) {
        error = "the config folder " + folder + " does not exist";
        return false;
    }
    // Another process may make it at the same moment.
    if (makeSharedFolder(folder) || GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    error = "cannot make the config folder " + folder + ": " + lastErrorText(GetLastError());
    return false;
}

bool systemRandom(unsigned char* bytes, std::size_t count)
{
    return BCryptGenRandom(nullptr, bytes, ULONG(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}
