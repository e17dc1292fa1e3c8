#include "Registration.h"

#include "Profile.h"
#include "TemplateApp.h"
#include "TextConversion.h"
#include "VelmaroInterface.h"

#include <oleauto.h>

#include <cwchar>
#include <string>

const char kTelescopeClassIdText[] = "{5A1F37C2-8D4E-4b09-9E62-0C7D3B81A4F5}";
const char kTelescopeProgId[] = "Velmaro.Telescope.1";
const char kTelescopeVersionIndependentProgId[] = "Velmaro.Telescope";

namespace {

const char kClassDescription[] = "Telescope Class";
const char kThreadingModel[] = "both";
const char kModulePlaceholder[] = "%MODULE%";
// The longest path Windows can hold, terminator included.
constexpr DWORD kLongestPath = 32768;

// One registry value under HKEY_CLASSES_ROOT; an empty name is the key's
// default value.
struct RegistryValue {
    std::wstring key;
    const char* name;
    const char* text;
};

std::wstring classKey()
{
    return L"CLSID\\" + widened(kTelescopeClassIdText);
}

// Keys removed whole on unregistration and before every registration, so
// nothing stale survives a re-registration. "CLSID" itself stays.
std::wstring ownedKey(int index)
{
    switch (index) {
    case 0:
        return widened(kTelescopeProgId);
    case 1:
        return widened(kTelescopeVersionIndependentProgId);
    default:
        return classKey();
    }
}
constexpr int kOwnedKeyCount = 3;

HRESULT writeValue(const RegistryValue& value, const std::wstring& module)
{
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, value.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(status);
    std::wstring text = std::string(value.text) == kModulePlaceholder ? module : widened(value.text);
    std::wstring name = widened(value.name);
    // Stored without a terminating NUL, as every string of ours.
    status = RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text.data()), DWORD(text.size() * sizeof(wchar_t)));
    RegCloseKey(key);
    return HRESULT_FROM_WIN32(status);
}

// The ProgIDs live in the part of the registry that both views share; the
// class key is each bitness's own.
HRESULT removeOwnedKeys(bool sharedKeysToo)
{
    for (int index = sharedKeysToo ? 0 : kOwnedKeyCount - 1; index < kOwnedKeyCount; ++index) {
        LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, ownedKey(index).c_str());
        if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND)
            continue;
        // Deleting a key that is already gone, one level up, is fine too.
        if (status != ERROR_PATH_NOT_FOUND)
            return HRESULT_FROM_WIN32(status);
    }
    return S_OK;
}

HRESULT loadOwnTypeLibrary(ITypeLib** library, std::wstring& path)
{
    HRESULT status = ownModulePath(path);
    if (FAILED(status))
        return status;
    status = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
    if (SUCCEEDED(status))
        return status;
    // A type library file beside the module will do as well.
    std::wstring::size_type dot = path.find_last_of(L'.');
    std::wstring::size_type slash = path.find_last_of(L'\\');
    bool hasExtension = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
    std::wstring tlb = (hasExtension ? path.substr(0, dot) : path) + L".tlb";
    HRESULT besideStatus = LoadTypeLibEx(tlb.c_str(), REGKIND_NONE, library);
    // The module's own failure says more than a missing file beside it.
    return SUCCEEDED(besideStatus) ? besideStatus : status;
}

// "TypeLib\{LIBID}\1.0\409\win64", in the layout RegisterTypeLib uses: the
// library's registration for its declared locale, or for the neutral one.
std::wstring libraryKey(const TLIBATTR& attributes, bool neutralLocale, bool platformToo = true)
{
    wchar_t guid[40] = {};
    StringFromGUID2(attributes.guid, guid, 40);
    wchar_t tail[40] = {};
    std::swprintf(tail, 40, L"%x.%x\\%lx", attributes.wMajorVerNum, attributes.wMinorVerNum,
                  neutralLocale ? 0ul : static_cast<unsigned long>(attributes.lcid));
    std::wstring key = std::wstring(L"TypeLib\\") + guid + L"\\" + tail;
    if (platformToo)
        key += attributes.syskind == SYS_WIN64 ? L"\\win64" : attributes.syskind == SYS_WIN16 ? L"\\win16" : L"\\win32";
    return key;
}

bool keyExists(const std::wstring& key)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

// COM's type-library marshaller looks the library up for locale 0, and the
// registry answers only for the locale the library declares (0x409). Without
// this entry an early-bound client could not call the driver from another
// apartment.
HRESULT registerNeutralLocale(const TLIBATTR& attributes, const std::wstring& path)
{
    if (attributes.lcid == 0)
        return S_OK;
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, libraryKey(attributes, true).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(status);
    status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.data()),
                            DWORD(path.size() * sizeof(wchar_t)));
    RegCloseKey(key);
    return HRESULT_FROM_WIN32(status);
}

void unregisterNeutralLocale(const TLIBATTR& attributes)
{
    if (attributes.lcid == 0)
        return;
    RegDeleteKeyW(HKEY_CLASSES_ROOT, libraryKey(attributes, true).c_str());
    // The locale key goes only once the other bitness's entry is gone too.
    RegDeleteKeyW(HKEY_CLASSES_ROOT, libraryKey(attributes, true, false).c_str());
}

} // namespace

HRESULT ownModulePath(std::wstring& path)
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(theApp.moduleInstance(), &buffer[0], DWORD(buffer.size()));
        if (length == 0)
            return HRESULT_FROM_WIN32(GetLastError());
        if (length < buffer.size()) {
            buffer.resize(length);
            path.swap(buffer);
            return S_OK;
        }
        // The name was cut to the buffer: never register a cut path.
        if (buffer.size() >= kLongestPath)
            return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
        buffer.assign(buffer.size() * 2 < kLongestPath ? buffer.size() * 2 : kLongestPath, L'\0');
    }
}

bool otherBitnessRegistered()
{
#ifdef _WIN64
    const REGSAM otherView = KEY_WOW64_32KEY;
#else
    BOOL underWow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &underWow64) || !underWow64)
        return false;
    const REGSAM otherView = KEY_WOW64_64KEY;
#endif
    const std::wstring key = L"Software\\Classes\\" + classKey() + L"\\InprocServer32";
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | otherView, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

HRESULT updateTelescopeRegistry(bool registering)
{
    // The other bitness's clients find their class through the same ProgIDs:
    // they go with the last bitness unregistered.
    HRESULT status = removeOwnedKeys(registering || !otherBitnessRegistered());
    if (!registering || FAILED(status))
        return status;
    std::wstring module;
    status = ownModulePath(module);
    if (FAILED(status))
        return status;
    const std::wstring clsid = classKey();
    const std::wstring progId = widened(kTelescopeProgId);
    const std::wstring independentProgId = widened(kTelescopeVersionIndependentProgId);
    const RegistryValue values[] = {
        {progId, "", kClassDescription},
        {progId + L"\\CLSID", "", kTelescopeClassIdText},
        {independentProgId, "", kClassDescription},
        {independentProgId + L"\\CLSID", "", kTelescopeClassIdText},
        {clsid, "", kClassDescription},
        {clsid + L"\\ProgID", "", kTelescopeProgId},
        {clsid + L"\\VersionIndependentProgID", "", kTelescopeVersionIndependentProgId},
        {clsid + L"\\InprocServer32", "", kModulePlaceholder},
        {clsid + L"\\InprocServer32", "ThreadingModel", kThreadingModel},
    };
    for (const RegistryValue& value : values) {
        status = writeValue(value, module);
        if (FAILED(status))
            return status;
    }
    return S_OK;
}

HRESULT registerTypeLibrary()
{
    ITypeLib* library = nullptr;
    std::wstring path;
    HRESULT status = loadOwnTypeLibrary(&library, path);
    if (FAILED(status))
        return status;
    std::wstring::size_type slash = path.find_last_of(L'\\');
    std::wstring directory = path.substr(0, slash == std::wstring::npos ? 0 : slash);
    status = RegisterTypeLib(library, const_cast<LPOLESTR>(path.c_str()), const_cast<LPOLESTR>(directory.c_str()));
    TLIBATTR* attributes = nullptr;
    if (SUCCEEDED(status))
        status = library->GetLibAttr(&attributes);
    if (SUCCEEDED(status)) {
        status = registerNeutralLocale(*attributes, path);
        if (FAILED(status)) {
            unregisterNeutralLocale(*attributes);
            UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                              attributes->lcid, attributes->syskind);
        }
        library->ReleaseTLibAttr(attributes);
    }
    library->Release();
    return status;
}

HRESULT unregisterTypeLibrary()
{
    ITypeLib* library = nullptr;
    std::wstring path;
    HRESULT status = loadOwnTypeLibrary(&library, path);
    if (FAILED(status))
        return status;
    TLIBATTR* attributes = nullptr;
    status = library->GetLibAttr(&attributes);
    if (SUCCEEDED(status)) {
        // First, or the platform's unregistration would see the library
        // still in use under the neutral locale and keep its keys.
        unregisterNeutralLocale(*attributes);
        status = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                   attributes->lcid, attributes->syskind);
        // Already gone is as good as removed: unregistering twice succeeds.
        // Only this bitness's entry counts; the other's may well remain.
        if (FAILED(status) && !keyExists(libraryKey(*attributes, false)))
            status = S_OK;
        library->ReleaseTLibAttr(attributes);
    }
    library->Release();
    return status;
}
