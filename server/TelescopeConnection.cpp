// Connecting and the members that name the driver: the COM side.
#include "Telescope.h"

#include "ComResults.h"
#include "TextConversion.h"

#include <oleauto.h>

namespace {

// A new automation string for the caller, from ANSI text in the calling
// thread's code page.
HRESULT returnString(const Outcome& outcome, const std::string& text, BSTR* result)
{
    if (!outcome.succeeded())
        return comStatus(outcome);
    if (!result)
        return E_POINTER;
    *result = nullptr;
    std::wstring wide;
    if (!widenText(text.c_str(), wide))
        return E_OUTOFMEMORY;
    BSTR string = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!string)
        return E_OUTOFMEMORY;
    *result = string;
    return S_OK;
}

} // namespace

HRESULT CTelescope::get_Connected(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::connected));
}

HRESULT CTelescope::put_Connected(VARIANT_BOOL value)
{
    DriverCall call;
    return call.result(comStatus(core.setConnected(isAutomationTrue(value))));
}

HRESULT CTelescope::get_Name(BSTR* value)
{
    DriverCall call;
    std::string text;
    Outcome outcome = core.name(text);
    return call.result(returnString(outcome, text, value));
}

HRESULT CTelescope::get_Description(BSTR* value)
{
    DriverCall call;
    std::string text;
    Outcome outcome = core.description(text);
    return call.result(returnString(outcome, text, value));
}

HRESULT CTelescope::get_DriverInfo(BSTR* value)
{
    DriverCall call;
    std::string text;
    Outcome outcome = core.driverInfo(text);
    return call.result(returnString(outcome, text, value));
}

HRESULT CTelescope::get_DriverVersion(BSTR* value)
{
    DriverCall call;
    std::string text;
    Outcome outcome = core.driverVersion(text);
    return call.result(returnString(outcome, text, value));
}

HRESULT CTelescope::get_EquatorialSystem(int* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::equatorialSystem));
}

HRESULT CTelescope::get_InterfaceVersion(int* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::interfaceVersion));
}

HRESULT CTelescope::Dispose()
{
    DriverCall call;
    return call.result(comStatus(core.dispose()));
}
