#include "Registration.h"

#include "Profile.h"
#include "TemplateApp.h"
#include "VelmaroInterface.h"

#include <oleauto.h>

#include <string>

const char kTelescopeClassIdText[] = "{5A1F37C2-8D4E-4b09-9E62-0C7D3B81A4F5}";
const char kTelescopeProgId[] = "Velmaro.Telescope.1";
const char kTelescopeVersionIndependentProgId[] = "Velmaro.Telescope";

namespace {

const char kClassDescription[] = "Telescope Class";
const char kThreadingModel[] = "both";
const char kModulePlaceholder[] = "%MODULE%";

// One registry value under HKEY_CLASSES_ROOT; an empty name is the key's
// default value.
struct RegistryValue {
    std::string key;
    const char* name;
    const char* text;
};

std::string classKey()
{
    return std::string("CLSID\\") + kTelescopeClassIdText;
}

// Keys removed whole on unregistration and before every registration, so
// nothing stale survives a re-registration. "CLSID" itself stays.
std::string ownedKeys[3];

void listOwnedKeys()
{
    ownedKeys[0] = kTelescopeProgId;
    ownedKeys[1] = kTelescopeVersionIndependentProgId;
    ownedKeys[2] = classKey();
}

std::string modulePath()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(theApp.moduleInstance(), path, MAX_PATH);
    return path;
}

HRESULT writeValue(const RegistryValue& value, const std::string& module)
{
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_CLASSES_ROOT, value.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(status);
    std::string text = value.text;
    if (text == kModulePlaceholder)
        text = module;
    status = setRegistryString(key, *value.name ? value.name : nullptr, text.data(), text.size());
    RegCloseKey(key);
    return HRESULT_FROM_WIN32(status);
}

HRESULT removeOwnedKeys()
{
    for (const std::string& key : ownedKeys) {
        LONG status = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
        if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND)
            continue;
        // Deleting a key that is already gone, one level up, is fine too.
        if (status != ERROR_PATH_NOT_FOUND)
            return HRESULT_FROM_WIN32(status);
    }
    return S_OK;
}

HRESULT loadOwnTypeLibrary(ITypeLib** library, std::string& path)
{
    path = modulePath();
    std::wstring widePath(path.begin(), path.end());
    HRESULT status = LoadTypeLibEx(widePath.c_str(), REGKIND_NONE, library);
    if (SUCCEEDED(status))
        return status;
    // A type library file beside the module will do as well.
    std::string::size_type dot = path.find_last_of('.');
    std::string tlb = (dot == std::string::npos ? path : path.substr(0, dot)) + ".tlb";
    std::wstring wideTlb(tlb.begin(), tlb.end());
    return LoadTypeLibEx(wideTlb.c_str(), REGKIND_NONE, library);
}

} // namespace

HRESULT updateTelescopeRegistry(bool registering)
{
    listOwnedKeys();
    HRESULT status = removeOwnedKeys();
    if (!registering || FAILED(status))
        return status;
    const std::string clsid = classKey();
    const RegistryValue values[] = {
        {kTelescopeProgId, "", kClassDescription},
        {std::string(kTelescopeProgId) + "\\CLSID", "", kTelescopeClassIdText},
        {kTelescopeVersionIndependentProgId, "", kClassDescription},
        {std::string(kTelescopeVersionIndependentProgId) + "\\CLSID", "", kTelescopeClassIdText},
        {clsid, "", kClassDescription},
        {clsid + "\\ProgID", "", kTelescopeProgId},
        {clsid + "\\VersionIndependentProgID", "", kTelescopeVersionIndependentProgId},
        {clsid + "\\InprocServer32", "", kModulePlaceholder},
        {clsid + "\\InprocServer32", "ThreadingModel", kThreadingModel},
    };
    const std::string module = modulePath();
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
    std::string path;
    HRESULT status = loadOwnTypeLibrary(&library, path);
    if (FAILED(status))
        return status;
    std::string directory = path.substr(0, path.find_last_of('\\') == std::string::npos ? 0 : path.find_last_of('\\'));
    std::wstring widePath(path.begin(), path.end());
    std::wstring wideDirectory(directory.begin(), directory.end());
    status = RegisterTypeLib(library, const_cast<LPOLESTR>(widePath.c_str()),
                             const_cast<LPOLESTR>(wideDirectory.c_str()));
    library->Release();
    return status;
}

HRESULT unregisterTypeLibrary()
{
    ITypeLib* library = nullptr;
    std::string path;
    HRESULT status = loadOwnTypeLibrary(&library, path);
    if (FAILED(status))
        return status;
    TLIBATTR* attributes = nullptr;
    status = library->GetLibAttr(&attributes);
    if (SUCCEEDED(status)) {
        status = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                   attributes->lcid, attributes->syskind);
        // Already gone is as good as removed: unregistering twice succeeds.
        ITypeLib* registered = nullptr;
        if (FAILED(status)
            && LoadRegTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                              &registered)
                   == TYPE_E_LIBNOTREGISTERED)
            status = S_OK;
        if (registered)
            registered->Release();
        library->ReleaseTLibAttr(attributes);
    }
    library->Release();
    return status;
}
