// How the COM side answers its client from the mount core's outcomes:
// the status (with error information), the automation boolean, and the
// value through the client's pointer.
#pragma once

#include "DriverCall.h"
#include "Mount.h"
#include "Outcome.h"

#include <windows.h>
#include <oleauto.h>

// S_OK for a success; for a refusal the status the DLL has always given:
// 0x80040000 + number for a numbered one, DISP_E_EXCEPTION for one told by
// text, 2 for a transmission warning; error information with its text.
HRESULT comStatus(const Outcome& outcome);

// Only VARIANT_TRUE (-1) is true: any other value a client passes is false.
inline bool isAutomationTrue(VARIANT_BOOL value)
{
    return value == VARIANT_TRUE;
}

inline VARIANT_BOOL automationBool(bool value)
{
    return value ? VARIANT_TRUE : VARIANT_FALSE;
}

// The outcome's status, or on success the value through the client's
// pointer (E_POINTER when it passed none).
template <typename T, typename V>
HRESULT comAnswer(const Outcome& outcome, T* result, V value)
{
    if (!outcome.succeeded())
        return comStatus(outcome);
    return returnValue<T>(result, static_cast<T>(value));
}

template <typename T>
HRESULT comAnswer(const Outcome& outcome, VARIANT_BOOL* result, T) = delete;

inline HRESULT comAnswer(const Outcome& outcome, VARIANT_BOOL* result, bool value)
{
    if (!outcome.succeeded())
        return comStatus(outcome);
    return returnValue<VARIANT_BOOL>(result, automationBool(value));
}

// A reading member with nothing to convert but the value's type: the
// client's pointer first (no exchange without one), then the core's answer.
template <typename T, typename V>
HRESULT readThrough(T* result, Mount& core, Outcome (Mount::*member)(V&))
{
    if (!result)
        return E_POINTER;
    V value{};
    Outcome outcome = (core.*member)(value);
    return comAnswer(outcome, result, value);
}

template <typename T, typename V>
HRESULT readThrough(T* result, const Mount& core, Outcome (Mount::*member)(V&) const)
{
    if (!result)
        return E_POINTER;
    V value{};
    Outcome outcome = (core.*member)(value);
    return comAnswer(outcome, result, value);
}
