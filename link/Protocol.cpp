#include "Protocol.h"

#include <cstring>

int modelFromMountInfo(const char* reply)
{
    std::size_t length = std::strlen(reply);
    if (length == 6 && std::strcmp(reply, ":KV72#") == 0)
        return 2;
    if (length == 4 && std::strcmp(reply, "6150") == 0)
        return 3;
    return 1;
}

std::uint32_t timeReplyLength(int model)
{
    return model == 3 ? 9 : 11;
}
