#include "ErrorReport.h"

#include "ComResults.h"
#include "DriverCall.h"

#include "Messages.h"
#include "TextConversion.h"
#include "VelmaroInterface.h"

#include <oleauto.h>

#include <string>

namespace {

constexpr int kLongestMessage = 1024;
// A success code: done, but the mount did not confirm it.
constexpr HRESULT kTransmissionWarningStatus = 2;
HINSTANCE stringModule = nullptr;

void postErrorInfo(REFCLSID classId, REFIID interfaceId, const std::wstring& description)
{
    ICreateErrorInfo* creator = nullptr;
    if (FAILED(CreateErrorInfo(&creator)))
        return;
    creator->SetGUID(interfaceId);
    LPOLESTR progId = nullptr;
    if (SUCCEEDED(ProgIDFromCLSID(classId, &progId)) && progId) {
        creator->SetSource(progId);
        CoTaskMemFree(progId);
    }
    creator->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(creator->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    creator->Release();
}

} // namespace

HRESULT reportError(REFCLSID classId, UINT number, REFIID interfaceId, HRESULT result, HINSTANCE module)
{
    char text[kLongestMessage] = {};
    if (LoadStringA(module, number, text, kLongestMessage) <= 0)
        lstrcpynA(text, kUnknownError, kLongestMessage);
    std::wstring description;
    if (!widenText(text, description))
        return E_OUTOFMEMORY;
    if (result == 0)
        result = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, number);
    postErrorInfo(classId, interfaceId, description);
    DriverCall::noteError(text);
    return result;
}

HRESULT reportError(REFCLSID classId, const char* text, HRESULT result)
{
    if (!text)
        return E_POINTER;
    std::wstring description;
    if (!widenText(text, description))
        return E_OUTOFMEMORY;
    postErrorInfo(classId, IID_ITelescopeV3, description);
    DriverCall::noteError(text);
    return result != 0 ? result : DISP_E_EXCEPTION;
}

void setResourceModule(HINSTANCE module)
{
    stringModule = module;
}

HRESULT driverError(DriverErrorNumber number)
{
    return reportError(CLSID_Telescope, number, GUID_NULL, 0, stringModule);
}

HRESULT driverFailure(const char* text, HRESULT result)
{
    return reportError(CLSID_Telescope, text, result);
}

HRESULT comStatus(const Outcome& outcome)
{
    switch (outcome.kind()) {
    case OutcomeKind::Success:
        return S_OK;
    case OutcomeKind::TransmissionWarning:
        return driverFailure(outcome.text().c_str(), kTransmissionWarningStatus);
    default:
        if (outcome.driverNumber() != 0)
            return driverError(static_cast<DriverErrorNumber>(outcome.driverNumber()));
        return driverFailure(outcome.text().c_str());
    }
}
