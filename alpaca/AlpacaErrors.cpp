#include "AlpacaErrors.h"

namespace {

int numberOf(OutcomeKind kind)
{
    switch (kind) {
    case OutcomeKind::Success:
        return kAlpacaOk;
    case OutcomeKind::TransmissionWarning:
        return kAlpacaNotConfirmed;
    case OutcomeKind::NotImplemented:
        return kAlpacaNotImplemented;
    case OutcomeKind::InvalidValue:
        return kAlpacaInvalidValue;
    case OutcomeKind::ValueNotSet:
        return kAlpacaValueNotSet;
    case OutcomeKind::InvalidWhileParked:
        return kAlpacaInvalidWhileParked;
    case OutcomeKind::NotConnected:
        return kAlpacaNotConnected;
    case OutcomeKind::InvalidOperation:
        return kAlpacaInvalidOperation;
    case OutcomeKind::LinkDown:
        return kAlpacaLinkDown;
    case OutcomeKind::Failure:
        break;
    }
    return kAlpacaMountFailure;
}

} // namespace

AlpacaError alpacaError(const Outcome& outcome)
{
    AlpacaError error;
    error.number = numberOf(outcome.kind());
    if (error.number != kAlpacaOk)
        error.message = outcome.text();
    return error;
}
