// A control case for check-member-results (see Members.h).
HRESULT CTelescope::get_Traced(double* value)
{
    DriverCall call;
    return call.result(returnValue(value, 1.0));
}

HRESULT CTelescope::get_Untraced(double* value)
{
    return returnValue(value, 2.0);
}

HRESULT CTelescope::get_PlainReturn(double* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    return call.result(returnValue(value, 3.0));
}

// Not a member: needs no call record.
HRESULT CTelescope::helper()
{
    return S_OK;
}
