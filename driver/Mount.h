// The mount core: every member a client can call, in plain types, over the
// command channel. It knows neither COM nor any other front end: the DLL's
// CTelescope and the network server both turn their clients' requests into
// these calls and the outcomes back into their own statuses.
//
// Each member returns an Outcome; a value it reads goes to its out
// parameter only when the outcome is a success. Objects sharing one mount
// share one MountState (connection, model, scratch fields); each object
// keeps its own targets, park and tracking records and guide backlog. One
// call at a time per state: the front end's lock sees to it.
#pragma once

#include "Clock.h"
#include "CommandChannel.h"
#include "MountModels.h"
#include "MountSettings.h"
#include "MountState.h"
#include "MountTypes.h"
#include "Outcome.h"
#include "Replies.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class MountProbe;

class Mount {
public:
    Mount(std::shared_ptr<MountState> state, MountSettings& settings, Clock& clock = systemClock(),
          SerialPortMaker makePort = makeSystemSerialPort);
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;

    // Connection and identity.
    Outcome connected(bool& value) const;
    Outcome setConnected(bool value);
    Outcome name(std::string& value) const;
    Outcome description(std::string& value) const;
    Outcome driverInfo(std::string& value) const;
    Outcome driverVersion(std::string& value) const;
    Outcome interfaceVersion(int& value) const;
    Outcome equatorialSystem(int& value) const;
    Outcome dispose();

    // Position, site and time.
    Outcome alignmentMode(Alignment& value);
    Outcome altitude(double& value);
    Outcome azimuth(double& value);
    Outcome declination(double& value);
    Outcome rightAscension(double& value);
    Outcome siderealTime(double& value);
    // Asked kPierSidePasses times, one exchange a pass: the last clear
    // answer is the side. sideOfPierPass is one pass, changing value only on
    // a clear answer, for a caller that lets others at the mount between.
    static constexpr int kPierSidePasses = 2;
    Outcome sideOfPier(PierSide& value);
    Outcome sideOfPierPass(PierSide& value);
    Outcome setSideOfPier(PierSide value);
    Outcome destinationSideOfPier(double rightAscension, double declination, PierSide& value);
    Outcome siteElevation(double& value) const;
    Outcome setSiteElevation(double value);
    Outcome siteLatitude(double& value);
    Outcome setSiteLatitude(double value);
    Outcome siteLongitude(double& value);
    Outcome setSiteLongitude(double value);
    Outcome utcDate(UtcTime& value);
    Outcome setUtcDate(UtcTime value);

    // Slewing and syncing.
    Outcome targetDeclination(double& value) const;
    Outcome setTargetDeclination(double value);
    Outcome targetRightAscension(double& value) const;
    Outcome setTargetRightAscension(double value);
    Outcome slewing(bool& value);
    Outcome abortSlew();
    // As abortSlew, with the tracking to restore afterwards already known
    // (a server that keeps it fresh): the stop goes out first, with no
    // question asked before it.
    Outcome abortSlewRestoringTracking(bool wasTracking);
    Outcome slewToAltAz(double azimuth, double altitude);
    Outcome slewToAltAzAsync(double azimuth, double altitude);
    Outcome slewToCoordinates(double rightAscension, double declination);
    Outcome slewToCoordinatesAsync(double rightAscension, double declination);
    Outcome slewToTarget();
    Outcome slewToTargetAsync();
    Outcome syncToAltAz(double azimuth, double altitude);
    Outcome syncToCoordinates(double rightAscension, double declination);
    Outcome syncToTarget();

    // Tracking and guiding.
    Outcome declinationRate(double& value) const;
    Outcome setDeclinationRate(double value);
    Outcome rightAscensionRate(double& value) const;
    Outcome setRightAscensionRate(double value);
    Outcome guideRateDeclination(double& value);
    Outcome setGuideRateDeclination(double value);
    Outcome guideRateRightAscension(double& value);
    Outcome setGuideRateRightAscension(double value);
    Outcome tracking(bool& value);
    Outcome setTracking(bool value);
    Outcome trackingRate(DriveRate& value);
    Outcome setTrackingRate(DriveRate value);
    // The one rate the driver names (sidereal).
    Outcome trackingRates(DriveRate& value) const;
    // The rates the model can set and read back as set, for a front end
    // that names them all; and whether rate is one of them.
    Outcome listedTrackingRates(std::vector<DriveRate>& value) const;
    bool hasTrackingRate(int rate) const;
    Outcome pulseGuide(GuideDirection direction, std::int32_t durationMs);
    // pulseGuide in two steps, for a front end that returns at once: all
    // but the timed pieces of a model that sends the pulse in pieces, which
    // come back in pieces for the caller to send, each after its wait.
    Outcome beginPulseGuide(GuideDirection direction, std::int32_t durationMs, PulsePlan& pieces);
    void sendPulsePiece(const PulsePiece& piece);
    Outcome isPulseGuiding(bool& value);
    Outcome axisRates(int axis) const;
    Outcome canMoveAxis(int axis, bool& value) const;
    Outcome moveAxis(int axis, double rate);

    // Capabilities and raw commands.
    Outcome canFindHome(bool& value) const;
    Outcome canPark(bool& value) const;
    Outcome canPulseGuide(bool& value) const;
    Outcome canSetDeclinationRate(bool& value) const;
    Outcome canSetGuideRates(bool& value) const;
    Outcome canSetPark(bool& value) const;
    Outcome canSetPierSide(bool& value) const;
    Outcome canSetRightAscensionRate(bool& value) const;
    Outcome canSetTracking(bool& value) const;
    Outcome canSlew(bool& value) const;
    Outcome canSlewAltAz(bool& value) const;
    Outcome canSlewAltAzAsync(bool& value) const;
    Outcome canSlewAsync(bool& value) const;
    Outcome canSync(bool& value) const;
    Outcome canSyncAltAz(bool& value) const;
    Outcome canUnpark(bool& value) const;
    Outcome doesRefraction(bool& value) const;
    Outcome setDoesRefraction(bool value);
    Outcome apertureArea(double& value) const;
    Outcome apertureDiameter(double& value) const;
    Outcome focalLength(double& value) const;
    Outcome commandBlind(const std::string& command, bool raw);
    Outcome commandBool(const std::string& command, bool raw, bool& value);
    Outcome commandString(const std::string& command, bool raw, std::string& value);

    // Parking and home.
    Outcome atHome(bool& value);
    Outcome atPark(bool& value);
    Outcome park();
    Outcome unpark();
    Outcome setPark();
    Outcome findHome();
    // findHome in two steps: the checks and the search command, then the
    // wait for home. searchStarted says whether there is anything to wait for.
    Outcome beginFindHome(bool& searchStarted);
    Outcome waitForHome();
    Outcome slewSettleTime(int& value) const;
    Outcome setSlewSettleTime(int value);
    // Park for a front end that reports the park's progress itself: a
    // mount parked already (a model that can be asked is asked first) is
    // sent nothing. moving says whether a park began, whose arrival
    // parkArrived then tells, one look each call; abortPark stops it short.
    Outcome beginPark(bool& moving);
    Outcome parkArrived(bool& arrived);
    Outcome abortPark();
    // A motion the mount may still be finishing (a park given up): a model
    // that can be asked whether it slews is asked until it has stopped.
    void watchForStop();
    // The unpark was sent: a model whose unpark starts the drive tracks
    // again, as the record must then say.
    void noteUnparked();
    // A park the link's loss cut short: nothing shows it reached its end,
    // so it is not recorded as parked (a model that can be asked is asked).
    void forgetInterruptedPark();
    // A pulse the link's loss cut short: it is not reported as still
    // running on the strength of its planned length.
    void forgetInterruptedPulse() { pulseDuration = 0.0; }

    // Not members: what the front end needs to know of the mount.

    // Whether this object holds the port of the mount's connection.
    bool holdsPort() const { return link.hasOpenPort(); }
    // The device under this object's port went away (the front end then
    // releases the object, and the next connect opens it again).
    bool portHungUp() const { return link.portHungUp(); }
    // The object goes away: its port closes, and when it held the
    // connection's port the mount is no longer connected. Nothing is sent.
    // True when it held it.
    bool release();
    const MountState& sharedState() const { return *state; }
    // Whether this object has the mount parked, as its park record says
    // (no exchange).
    bool parkRecorded() const { return parked; }
    // Whether this object has a slew under way, as its record says (no
    // exchange).
    bool slewRecorded() const { return slewInProgress; }
    // Lets the probe ask the mount over this object's open port; false,
    // and nothing asked, when it holds none.
    bool probeOverConnection(MountProbe& probe);

    // For a front end that rides out a lost link while its clients stay
    // connected.
    //
    // What the exchanges met with so far (answers, silence, replies that
    // could not be used).
    const ExchangeTally& exchangeTally() const { return link.tally(); }
    // Closes the port of a device that went away; the mount still counts
    // as connected, and a call meanwhile sends nothing.
    void dropPort() { link.closePort(); }
    // The handshake once more: on the port still open (a mount that fell
    // silent), or on the connection's device opened again (a device that
    // went away). Once the mount answers, the models are told apart again.
    enum class Handshake { NoDevice, NoAnswer, SameModel, OtherModel };
    Handshake handshakeAgain(std::uint8_t& modelNow);

private:
    // ":Q#", then tracking as it was, when that is known.
    Outcome stopAndRestoreTracking(std::optional<bool> wasTracking);
    Outcome connect();
    // Asks ":MountInfo#" and takes the model its answer names.
    void detectModel();
    // The model the answer to ":MountInfo#" names; 0 when none came.
    std::uint8_t modelAnswered();
    // The head of the connection's trace: driver, bitness, port and model.
    void writeTraceHead(int portNumber, bool connected);
    const MountModelRow& model() const;

    // Position helpers that leave the last good reading in the fields.
    bool readDegrees(Query query, double& value);
    void sendSiteAngle(double value, const char* format, bool withSign, const char* failure);
    // Slewing helpers.
    bool sendEquatorialTarget(double rightAscension, double declination);
    bool sendAltAzTarget(double azimuth, double altitude);
    bool matchCoordinates();
    Outcome syncEquatorial(double rightAscension, double declination);
    Outcome waitForSlewEnd();
    // Parking helper: whether the position has held still for long enough.
    bool positionSettled();

    std::shared_ptr<MountState> state;
    MountSettings& settings;
    Clock& clock;
    // command, reply and port: the link to the mount.
    CommandChannel link;
    // The device the connection opened, for a handshake once it is back.
    std::string connectedDevice;

    double targetRightAscensionValue = 0.0;
    double targetDeclinationValue = 0.0;
    double lastAltitude = 0.0;
    double lastAzimuth = 0.0;
    double lastDeclination = 0.0;
    double lastRightAscension = 0.0;
    double parsedSeconds = 0.0;
    double pulseDuration = 0.0;
    bool parked = false;
    bool targetRightAscensionSet = false;
    bool targetDeclinationSet = false;
    bool trackingOn = false;
    bool slewInProgress = false;
    std::int32_t parsedHours = 0;
    std::int32_t siteElevationMetres = 0;
    std::int32_t trackingRateIndex = 0;
    std::int32_t guideBacklog[4] = {};
    // Wall-clock milliseconds when the last pulse began.
    std::int64_t pulseStartMs = 0;
    // The position the park's arrival test last saw move, and when.
    struct SettleSample {
        bool taken = false;
        double declination = 0.0;
        double altitude = 0.0;
        double azimuth = 0.0;
        std::uint64_t steadyMs = 0;
    } parkSettle;
};
