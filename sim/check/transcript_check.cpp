// velmaro-transcript-check: reads a simulator transcript (one command a
// line) and lists every command that the simulator's own parser does not
// take as a command of the model's protocol, with its line number.
//   velmaro-transcript-check --model 1|2|3 FILE
// Exit 0 when every command matched, 1 when some did not, 2 on bad usage.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "core/mount_sim.h"

using namespace velmaro::sim;

int main(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[1], "--model") != 0 || std::strlen(argv[2]) != 1 || argv[2][0] < '1' ||
        argv[2][0] > '3') {
        std::fprintf(stderr, "usage: velmaro-transcript-check --model 1|2|3 FILE\n");
        return 2;
    }
    std::ifstream in(argv[3], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "velmaro-transcript-check: cannot read %s\n", argv[3]);
        return 2;
    }
    SimConfig config;
    config.model = argv[2][0] - '0';
    MountSim sim(config);
    // A fixed clock: whether a command is known never depends on the time.
    const double utc = 1773975600.0;
    std::string line;
    long lineNumber = 0, commands = 0, unknown = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty()) continue;
        // Each line is one framed command; a line the framer cannot take
        // whole (no ':' start, no '#' end) is not a command either.
        const auto replies = sim.receive(line, double(lineNumber), utc);
        const bool whole = replies.size() == 1 && replies.front().command == line;
        ++commands;
        if (!whole || !replies.front().recognized) {
            ++unknown;
            std::printf("line %ld: %s\n", lineNumber, line.c_str());
        }
        // A command cut short stays in the framer: start clean for the next.
        if (!whole) sim = MountSim(config);
    }
    std::printf("%ld commands, %ld not in the model %d protocol\n", commands, unknown, config.model);
    return unknown == 0 ? 0 : 1;
}
