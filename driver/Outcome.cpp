#include "Outcome.h"

#include "Messages.h"

Outcome Outcome::numbered(DriverErrorNumber number)
{
    OutcomeKind kind = OutcomeKind::InvalidValue;
    if (number == kErrorNotSupported)
        kind = OutcomeKind::NotImplemented;
    else if (number == kErrorValueNotSet)
        kind = OutcomeKind::ValueNotSet;
    // No number has a text of its own in the DLL's string table.
    return Outcome(kind, kUnknownError, number);
}
