// The settings the driver keeps and what the mount reports about itself:
// the stored serial port, and a probe of the mount on it. A plain object,
// no window: the driver builds one at every connect, the setup dialog
// shows one.
#pragma once

#include "Clock.h"
#include "CommandChannel.h"
#include "MountSettings.h"

#include <string>

// Opens the port and checks the mount's handshake, ":V#" answered by
// "V1.00#". On failure the port is closed again. The driver's connection
// and the probe both use it.
bool openMount(CommandChannel& link, const std::string& devicePath);

class MountProbe {
public:
    // Reads the stored port and trace switch and, when a mount answers there, asks it for
    // its model, position, time and site, then closes the port again. When
    // the profile cannot be opened nothing is read and nothing is asked.
    explicit MountProbe(MountSettings& settings, Clock& clock = systemClock(),
                        SerialPortMaker makePort = makeSystemSerialPort);
    virtual ~MountProbe() = default;
    MountProbe(const MountProbe&) = delete;
    MountProbe& operator=(const MountProbe&) = delete;

    // True when a mount answers the handshake on portNumber; the port is
    // then left open for the caller.
    bool testPort();
    // Stores portNumber as the profile's value "COM".
    void savePortNumber();
    // Stores traceOn as the profile's value "Trace".
    void saveTraceSwitch();
    // Asks what the probe asks over a link already open to the mount (a
    // connection's own, which no second open may share).
    void probeOver(CommandChannel& openLink) { probe(openLink); }

    // Until a port is stored, the first one.
    static constexpr int kDefaultPort = 1;

    int portNumber = kDefaultPort;
    // The trace switch as stored; it takes effect at the next connect.
    bool traceOn = false;
    // What the mount reported, as the dialog shows it; empty when it did
    // not answer.
    std::string modelText;
    std::string latitudeText;
    std::string longitudeText;
    std::string localTimeText;
    std::string timeZoneText;
    std::string rightAscensionText;
    std::string declinationText;
    std::string azimuthText;
    std::string altitudeText;

protected:
    MountSettings& settings;
    CommandChannel link;

private:
    void probe(CommandChannel& channel);

    // Scan targets shared by every step: a field that a reply does not
    // convert shows what an earlier step left in it.
    char sign = 0;
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int degrees = 0;
    double exactSeconds = 0.0;
};

// The model found by the last probe (1 to 3), apart from the driver's.
extern int setupModel;
