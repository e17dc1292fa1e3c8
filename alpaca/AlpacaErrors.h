// Alpaca's error numbers, and the one place a core outcome becomes one.
// The numbers are the protocol's; the texts are the core's, so an Alpaca
// client reads what a COM client of the DLL reads.
#pragma once

#include "Outcome.h"

#include <string>

enum AlpacaErrorNumber : int {
    kAlpacaOk = 0,
    kAlpacaNotImplemented = 0x400,
    kAlpacaInvalidValue = 0x401,
    kAlpacaValueNotSet = 0x402,
    kAlpacaNotConnected = 0x407,
    kAlpacaInvalidWhileParked = 0x408,
    kAlpacaInvalidOperation = 0x40B,
    kAlpacaActionNotImplemented = 0x40C,
    // Driver-specific: the mount or the link failed.
    kAlpacaMountFailure = 0x500,
    // Sent, but the mount did not confirm it (the DLL's warning status):
    // a network client is told, since it would otherwise take it as done.
    kAlpacaNotConfirmed = 0x501,
    // The device has gone or the mount is silent, and the server is
    // waiting for it: transient, the client stays connected.
    kAlpacaLinkDown = 0x502,
};

struct AlpacaError {
    int number = kAlpacaOk;
    std::string message;
};

AlpacaError alpacaError(const Outcome& outcome);
