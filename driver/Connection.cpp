// Connecting to the mount, telling the models apart, and the members that
// name the driver.
#include "Mount.h"

#include "Messages.h"
#include "MountModels.h"
#include "MountProbe.h"
#include "Protocol.h"
#include "Trace.h"

#include <cstdio>

namespace {

constexpr int kTopocentricEquatorial = 1;
// Handshakes asked in one attempt while the mount answers something else.
constexpr int kHandshakeTries = 3;
constexpr int kInterfaceVersion = 3;

Outcome failToOpen(const std::string& portLabel)
{
    char message[300];
    std::snprintf(message, sizeof message, kCannotOpenPort, portLabel.c_str());
    return Outcome::failure(OutcomeKind::Failure, message);
}

} // namespace

Outcome Mount::connected(bool& value) const
{
    value = state->connected;
    return Outcome::success();
}

Outcome Mount::setConnected(bool requested)
{
    if (requested == state->connected)
        return Outcome::success();
    state->connected = false;
    if (!requested) {
        link.closePort();
        return Outcome::success();
    }
    return connect();
}

Outcome Mount::connect()
{
    // Read at every connect: a switch the dialog stored takes effect now.
    // The trace begins before the probe, so that its exchanges show too.
    if (settings.readTraceSwitch())
        openTrace();
    int portNumber;
    {
        // The probe reads the stored port and asks the mount on its own
        // port, which it closes again before we open ours.
        MountProbe probe(settings, clock, link.makePort);
        portNumber = probe.portNumber;
    }
    connectedDevice = settings.devicePath(portNumber);
    if (!openMount(link, connectedDevice)) {
        writeTraceHead(portNumber, false);
        return failToOpen(settings.portLabel(portNumber));
    }
    state->connected = true;
    detectModel();
    writeTraceHead(portNumber, true);
    return Outcome::success();
}

Mount::Handshake Mount::handshakeAgain(std::uint8_t& modelNow)
{
    if (!link.hasOpenPort() && !link.openDevice(connectedDevice))
        return Handshake::NoDevice;
    // A mount waking up may first answer what was sent into its silence:
    // anything it says is a sign of life, so the handshake is asked again
    // (the next command drops what came meanwhile) until it is answered,
    // or the mount is silent, or the tries are used up.
    for (int tries = 0; tries < kHandshakeTries; ++tries) {
        if (tries > 0)
            clock.sleepMs(kRetryPauseMs);
        link.command = kHandshakeCommand;
        link.sendCommand();
        link.readReply(kHandshakeReplyLength);
        if (link.portHungUp()) {
            link.closePort();
            return Handshake::NoDevice;
        }
        if (link.replyEquals(kHandshakeReply) || link.replyLength() == 0)
            break;
    }
    if (!link.replyEquals(kHandshakeReply))
        return Handshake::NoAnswer;
    const std::uint8_t modelBefore = state->model;
    modelNow = modelAnswered();
    if (modelNow == modelBefore)
        return Handshake::SameModel;
    // Another model ends every client's connection, so it is not taken
    // from one reply that a mount just switched on (or a contact that
    // flickers) may have cut short: it must say so twice, and clearly.
    const bool saidTwice = modelNow != 0 && modelAnswered() == modelNow;
    if (link.portHungUp()) {
        link.closePort();
        return Handshake::NoDevice;
    }
    return saidTwice ? Handshake::OtherModel : Handshake::NoAnswer;
}

std::uint8_t Mount::modelAnswered()
{
    link.command = kMountInfoCommand;
    link.sendCommand();
    link.readReply(kMountInfoReplyLength);
    if (link.replyLength() == 0)
        return 0;
    return modelFromMountInfo(link.reply);
}

void Mount::writeTraceHead(int portNumber, bool connected)
{
    if (!traceIsOn())
        return;
    const std::string port = settings.portLabel(portNumber);
    char modelLine[400];
    if (connected)
        std::snprintf(modelLine, sizeof modelLine, "Model: %s (%d)", modelRow(state->model).name, int(state->model));
    else
        std::snprintf(modelLine, sizeof modelLine, "Model: not detected, no mount answered the handshake on %s",
                      port.c_str());
    const std::string head[] = {
        std::string(kDriverName) + " driver " + kDriverVersion + ", " + std::to_string(sizeof(void*) * 8)
            + "-bit",
        "Port: " + port,
        modelLine,
    };
    ::writeTraceHead(head, sizeof head / sizeof head[0]);
}

void Mount::detectModel()
{
    state->model = kFallbackModel;
    link.command = kMountInfoCommand;
    link.sendCommand();
    link.readReply(kMountInfoReplyLength);
    state->model = modelFromMountInfo(link.reply);
}

Outcome Mount::name(std::string& value) const
{
    value = kDriverName;
    return Outcome::success();
}

Outcome Mount::description(std::string& value) const
{
    value = kDriverName;
    return Outcome::success();
}

Outcome Mount::driverInfo(std::string& value) const
{
    value = kDriverInfo;
    return Outcome::success();
}

Outcome Mount::driverVersion(std::string& value) const
{
    value = kDriverVersion;
    return Outcome::success();
}

Outcome Mount::equatorialSystem(int& value) const
{
    value = kTopocentricEquatorial;
    return Outcome::success();
}

Outcome Mount::interfaceVersion(int& value) const
{
    value = kInterfaceVersion;
    return Outcome::success();
}

Outcome Mount::dispose()
{
    return Outcome::success();
}
