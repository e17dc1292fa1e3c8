// Connecting to the mount, telling the models apart, and the members that
// name the driver.
#include "Telescope.h"

#include "DriverCall.h"
#include "ErrorReport.h"
#include "Messages.h"
#include "MountModels.h"
#include "MountProbe.h"
#include "Protocol.h"
#include "MountState.h"
#include "TextConversion.h"
#include "Trace.h"

#include <oleauto.h>

#include <cstdio>

namespace {

constexpr int kTopocentricEquatorial = 1;
constexpr int kInterfaceVersion = 3;

// A new automation string for the caller, from ANSI text in the calling
// thread's code page.
HRESULT returnString(const char* text, BSTR* result)
{
    if (!result)
        return E_POINTER;
    *result = nullptr;
    std::wstring wide;
    if (!widenText(text, wide))
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
    return call.result(returnValue<VARIANT_BOOL>(value, mount.connected ? VARIANT_TRUE : VARIANT_FALSE));
}

HRESULT CTelescope::put_Connected(VARIANT_BOOL value)
{
    DriverCall call;
    bool requested = value == VARIANT_TRUE;
    if (requested == mount.connected)
        return call.result(S_OK);
    mount.connected = false;
    if (!requested) {
        link.closePort();
        return call.result(S_OK);
    }
    return call.result(connect());
}

HRESULT CTelescope::connect()
{
    // Read at every connect: a switch the dialog stored takes effect now.
    // The trace begins before the probe, so that its exchanges show too.
    if (readTraceSwitch())
        openTrace();
    int portNumber;
    {
        // The probe reads the stored port and asks the mount on its own
        // handle, which it closes again before we open the port.
        MountProbe settings;
        portNumber = settings.portNumber;
    }
    if (!openMount(link, portNumber)) {
        writeTraceHead(portNumber, false);
        return failToOpen(portNumber);
    }
    mount.connected = true;
    detectModel();
    writeTraceHead(portNumber, true);
    return S_OK;
}

void CTelescope::writeTraceHead(int portNumber, bool connected)
{
    if (!traceIsOn())
        return;
    char model[128];
    if (connected)
        std::snprintf(model, sizeof model, "Model: %s (%d)", modelRow(mount.model).name, int(mount.model));
    else
        std::snprintf(model, sizeof model, "Model: not detected, no mount answered the handshake on COM%d",
                      portNumber);
    const std::string head[] = {
        std::string(kDriverName) + " driver " + kDriverVersion + ", " + std::to_string(sizeof(void*) * 8)
            + "-bit",
        "Port: COM" + std::to_string(portNumber),
        model,
    };
    ::writeTraceHead(head, sizeof head / sizeof head[0]);
}

HRESULT CTelescope::failToOpen(int portNumber)
{
    char message[64];
    std::snprintf(message, sizeof message, kCannotOpenPort, portNumber);
    return driverFailure(message);
}

void CTelescope::detectModel()
{
    mount.model = kModelBrevan;
    link.command = kMountInfoCommand;
    link.sendCommand();
    link.readReply(kMountInfoReplyLength);
    mount.model = modelFromMountInfo(link.reply);
}

HRESULT CTelescope::get_Name(BSTR* value)
{
    DriverCall call;
    return call.result(returnString(kDriverName, value));
}

HRESULT CTelescope::get_Description(BSTR* value)
{
    DriverCall call;
    return call.result(returnString(kDriverName, value));
}

HRESULT CTelescope::get_DriverInfo(BSTR* value)
{
    DriverCall call;
    return call.result(returnString(kDriverInfo, value));
}

HRESULT CTelescope::get_DriverVersion(BSTR* value)
{
    DriverCall call;
    return call.result(returnString(kDriverVersion, value));
}

HRESULT CTelescope::get_EquatorialSystem(int* value)
{
    DriverCall call;
    return call.result(returnValue(value, kTopocentricEquatorial));
}

HRESULT CTelescope::get_InterfaceVersion(int* value)
{
    DriverCall call;
    return call.result(returnValue(value, kInterfaceVersion));
}

HRESULT CTelescope::Dispose()
{
    DriverCall call;
    return call.result(S_OK);
}
