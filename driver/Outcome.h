// What a member of the mount core ended with: a closed set of outcomes,
// each with the text its client sees. Front ends turn them into their own
// statuses (the COM side an HRESULT with error information, the network
// server an error number), so no front end reasons about the mount.
#pragma once

#include <cstdint>
#include <string>

enum class OutcomeKind : std::uint8_t {
    Success,
    // Done, but the mount did not confirm it: the client is warned.
    TransmissionWarning,
    NotImplemented,
    InvalidValue,
    ValueNotSet,
    InvalidWhileParked,
    NotConnected,
    InvalidOperation,
    // The mount or the link failed; the text says how.
    Failure,
    // The link is down for now (its device gone, or the mount silent) and
    // is being watched for its return: the same request may then succeed.
    LinkDown,
};

// Numbered driver errors, as the DLL's clients know them: the COM status
// is 0x80040000 + number, the text the string table's.
enum DriverErrorNumber : std::uint32_t {
    kErrorNotSupported = 1024,  // the mount cannot do this
    kErrorValueNotSet = 1027,   // a property read before it was ever set
    kErrorInvalidValue = 1029,  // a value out of range
};

class Outcome {
public:
    static Outcome success() { return Outcome(OutcomeKind::Success, std::string(), 0); }
    // A refusal or failure told by its text ("Cannot slew when parking").
    static Outcome failure(OutcomeKind kind, std::string text) { return Outcome(kind, std::move(text), 0); }
    // Done without the mount's confirmation, told by its text.
    static Outcome transmissionWarning(std::string text)
    {
        return Outcome(OutcomeKind::TransmissionWarning, std::move(text), 0);
    }
    // A refusal told by its number alone: the client reads the text that
    // has no entry of its own.
    static Outcome numbered(DriverErrorNumber number);

    OutcomeKind kind() const { return kind_; }
    bool succeeded() const { return kind_ == OutcomeKind::Success || kind_ == OutcomeKind::TransmissionWarning; }
    bool isSuccess() const { return kind_ == OutcomeKind::Success; }
    const std::string& text() const { return text_; }
    // The DLL's error number of a numbered refusal; 0 for one told by text.
    std::uint32_t driverNumber() const { return number_; }

private:
    Outcome(OutcomeKind kind, std::string text, std::uint32_t number)
        : kind_(kind), text_(std::move(text)), number_(number)
    {
    }

    OutcomeKind kind_;
    std::string text_;
    std::uint32_t number_;
};
