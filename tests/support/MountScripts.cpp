#include "MountScripts.h"

const char* mountInfoReply(int model)
{
    switch (model) {
    case 2:
        return ":KV72#";
    case 3:
        return "6150";
    default:
        return "LT1000";
    }
}

ProbeReplies probeReplies(int model)
{
    ProbeReplies replies{};
    replies.rightAscension = model == 3 ? "05:34:31#" : "05:34:31.9#";
    replies.declination = "+22*00:52#";
    replies.altitude = "+45*30:00#";
    replies.azimuth = "123*45:06#";
    replies.localTime = model == 3 ? "20:30:00#" : "20:30:00.0#";
    replies.timeZone = model == 1 ? "-05:00:#" : model == 2 ? "-05:00:00#" : "-05:00#";
    replies.latitude = "-33*52:04#";
    replies.longitude = "+151*12:30#";
    return replies;
}

void answerAsModel(ScriptedMount& mount, int model)
{
    ProbeReplies replies = probeReplies(model);
    mount.answer(":V#", "V1.00#");
    mount.answer(":MountInfo#", mountInfoReply(model));
    mount.answer(":GR#", replies.rightAscension);
    mount.answer(":GD#", replies.declination);
    mount.answer(":GA#", replies.altitude);
    mount.answer(":GZ#", replies.azimuth);
    mount.answer(":GL#", replies.localTime);
    mount.answer(":GG#", replies.timeZone);
    mount.answer(":Gt#", replies.latitude);
    mount.answer(":Gg#", replies.longitude);
}
