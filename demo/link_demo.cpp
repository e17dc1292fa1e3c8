// A small Windows client of the mount link: handshake, model, position.
// It prints every command and the reply it got, as the mount said it.
#include "CommandChannel.h"
#include "Protocol.h"
#include "ReplyScan.h"

#include <cstdio>
#include <cstdlib>

namespace {

void exchange(CommandChannel& link, const char* command, std::uint32_t count)
{
    link.command = command;
    link.sendCommand();
    link.readReply(count);
    std::printf("  %-12s -> \"%s\"\n", command, link.reply);
}

bool readSignedAngle(const CommandChannel& link, double& value)
{
    char sign = 0;
    int degrees = 0, minutes = 0, seconds = 0;
    if (link.replyLength() != 10
        || scanReply(link.reply, "%c%02d*%02d:%02d#", &sign, &degrees, &minutes, &seconds) != 4)
        return false;
    value = degrees + minutes / 60.0 + seconds / 3600.0;
    if (sign == '-')
        value = -value;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int portNumber = argc > 1 ? std::atoi(argv[1]) : 3;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    CommandChannel link;
    std::printf("Opening COM%d at 9600 baud, 8N1\n", portNumber);
    if (!link.openPort(portNumber)) {
        std::printf("Cannot open port COM%i!\n", portNumber);
        return 1;
    }

    exchange(link, kHandshakeCommand, kHandshakeReplyLength);
    if (!link.replyEquals(kHandshakeReply)) {
        std::printf("The mount did not answer the handshake.\n");
        return 1;
    }
    exchange(link, kMountInfoCommand, kMountInfoReplyLength);
    int model = modelFromMountInfo(link.reply);
    std::printf("Mount model %d\n", model);

    exchange(link, ":GR#", timeReplyLength(model));
    int hours = 0, minutes = 0;
    double seconds = 0;
    if (link.replyLength() == timeReplyLength(model)
        && scanReply(link.reply, "%02d:%02d:%lf#", &hours, &minutes, &seconds) == 3)
        std::printf("Right ascension %.6f h\n", hours + minutes / 60.0 + seconds / 3600.0);

    const struct {
        const char* command;
        const char* name;
    } angles[] = {{":GD#", "Declination"}, {":GA#", "Altitude"}};
    for (const auto& angle : angles) {
        exchange(link, angle.command, 10);
        double value = 0;
        if (readSignedAngle(link, value))
            std::printf("%s %.6f deg\n", angle.name, value);
    }
    exchange(link, ":GZ#", 10);
    int degrees = 0, arcMinutes = 0, arcSeconds = 0;
    if (link.replyLength() == 10 && scanReply(link.reply, "%03d*%02d:%02d#", &degrees, &arcMinutes, &arcSeconds) == 3)
        std::printf("Azimuth %.6f deg\n", degrees + arcMinutes / 60.0 + arcSeconds / 3600.0);
    return 0;
}
