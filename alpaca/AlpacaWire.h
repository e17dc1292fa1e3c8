// The core's values as Alpaca carries them, and a shared read of the mount
// for a client: what the members and DeviceState both answer with.
#pragma once

#include "AlpacaResponse.h"
#include "RequestValues.h"
#include "TelescopeDevice.h"

#include <functional>
#include <string>

inline int wire(Alignment value)
{
    return int(value);
}
inline int wire(PierSide value)
{
    return int(value);
}
inline int wire(DriveRate value)
{
    return int(value);
}
inline std::string wire(UtcTime value)
{
    return formatUtcDate(value);
}
template <class T>
T wire(T value)
{
    return value;
}

// The value type a reader of the core fills.
// A reader's value type, and whether it may ask the mount: a const member
// of the core cannot exchange a byte (what the model is, what was stored).
template <class> struct ReaderOf;
template <class T> struct ReaderOf<Outcome (Mount::*)(T&)> { using Value = T; static constexpr bool asksMount = true; };
template <class T> struct ReaderOf<Outcome (Mount::*)(T&) const> { using Value = T; static constexpr bool asksMount = false; };

// A read of the mount shared with the same read (key) of any caller that
// is queued or under way; the value wired, or its type's empty one when
// refused.
template <class Value>
SharedReads::Result sharedRead(SharedReads& reads, Member key, const std::function<Outcome(Value&)>& read)
{
    return reads.read(key, [&] {
        Value result{};
        Outcome outcome = read(result);
        return SharedReads::Result{outcome, outcome.succeeded() ? Json(wire(result)) : Json(wire(Value{}))};
    });
}

// As sharedRead, for a client: one that has not connected gets no other
// client's answer.
template <class Value>
SharedReads::Result clientRead(TelescopeDevice& device, std::uint32_t client, Member key,
                               const std::function<Outcome(Value&)>& read)
{
    if (!device.clientConnected(client))
        return {TelescopeDevice::notConnected(), Json(wire(Value{}))};
    return sharedRead<Value>(device.sharedReads(), key, read);
}
