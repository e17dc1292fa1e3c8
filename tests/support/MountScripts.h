// Standard answers of a scripted mount: the handshake, the model and the
// position queries that every connect probes, so that creating a driver
// object costs no time-outs.
#pragma once

#include "ScriptedMount.h"

// The ":MountInfo#" answer that makes a mount model 1, 2 or 3.
const char* mountInfoReply(int model);

// Handshake, model and the probe's queries with plausible replies of the
// model's lengths.
void answerAsModel(ScriptedMount& mount, int model);

// The probe's replies used by answerAsModel.
struct ProbeReplies {
    const char* rightAscension;
    const char* declination;
    const char* altitude;
    const char* azimuth;
    const char* localTime;
    const char* timeZone;
    const char* latitude;
    const char* longitude;
};
ProbeReplies probeReplies(int model);
