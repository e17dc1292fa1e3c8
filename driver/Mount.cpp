#include "Mount.h"

#include "MountModels.h"
#include "MountProbe.h"

#include <utility>

Mount::Mount(std::shared_ptr<MountState> state, MountSettings& settings, Clock& clock, SerialPortMaker makePort)
    : state(std::move(state)), settings(settings), clock(clock)
{
    link.clock = &clock;
    link.makePort = std::move(makePort);
}

const MountModelRow& Mount::model() const
{
    return modelRow(state->model);
}

bool Mount::release()
{
    bool held = link.hasOpenPort();
    // This object held the connection's port: no link is left, so the
    // mount no longer counts as connected.
    if (held)
        state->connected = false;
    link.closePort();
    return held;
}

bool Mount::probeOverConnection(MountProbe& probe)
{
    if (!link.hasOpenPort())
        return false;
    probe.probeOver(link);
    return true;
}
