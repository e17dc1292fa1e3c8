// velmaro-transcript-check: reads a simulator transcript (one command a
// line) and lists every command that the simulator's own parser does not
// take as a command of the model's protocol, with its line number. With a
// list of models (--model 1,2,3) a command passes when any of them knows it.
//   velmaro-transcript-check --model N[,N...] FILE
// Exit 0 when every command matched, 1 when some did not, 2 on bad usage.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "core/mount_sim.h"

using namespace velmaro::sim;

int main(int argc, char** argv) {
    // "3" or "1,2,3": digits 1 to 3 separated by commas, nothing else.
    std::vector<int> models;
    if (argc == 4 && std::strcmp(argv[1], "--model") == 0) {
        const std::string list = argv[2];
        for (std::size_t i = 0; i < list.size(); i += 2) {
            const bool digit = list[i] >= '1' && list[i] <= '3';
            const bool separated = i + 1 == list.size() || list[i + 1] == ',';
            if (!digit || !separated || list.back() == ',') {
                models.clear();
                break;
            }
            models.push_back(list[i] - '0');
        }
    }
    if (models.empty()) {
        std::fprintf(stderr, "usage: velmaro-transcript-check --model N[,N...] FILE   (N 1, 2 or 3)\n");
        return 2;
    }
    std::ifstream in(argv[3], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "velmaro-transcript-check: cannot read %s\n", argv[3]);
        return 2;
    }
    // A fixed clock: whether a command is known never depends on the time.
    const double utc = 1773975600.0;
    std::string line;
    long lineNumber = 0, commands = 0, unknown = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty()) continue;
        ++commands;
        bool known = false;
        for (int model : models) {
            SimConfig config;
            config.model = model;
            MountSim sim(config);
            // Each line is one framed command; a line the framer cannot take
            // whole (no ':' start, no '#' end) is not a command either.
            const auto replies = sim.receive(line, double(lineNumber), utc);
            known = known || (replies.size() == 1 && replies.front().command == line && replies.front().recognized);
        }
        if (!known) {
            ++unknown;
            std::printf("line %ld: %s\n", lineNumber, line.c_str());
        }
    }
    std::printf("%ld commands, %ld not in the protocol of model %s\n", commands, unknown, argv[2]);
    return unknown == 0 ? 0 : 1;
}
