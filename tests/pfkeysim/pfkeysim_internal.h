/* Simulator internals shared by its message builder and its kernel. */
#ifndef PFKEYSIM_INTERNAL_H
#define PFKEYSIM_INTERNAL_H

#include <string>
#include <vector>

#include "pfkeysim.h"

namespace pfkeysim {

struct Broadcast {
    int afterK;
    BroadcastType type;
    uint32_t pid;
    uint32_t seq;
    Sa sa;
};

struct Corruption {
    int k;
    uint16_t extType;
    uint16_t lenWords;
};

/* Faults applied to every dump until reset (replay: to the next dump only). */
struct Faults {
    bool noPfkey = false;
    int failReadAt = 0; /* 0: never */
    int failErr = 5;
    int stopAfter = -1; /* -1: the dump finishes */
    std::vector<Broadcast> bcasts;
    std::vector<Corruption> corrupts;
};

/* A table file: SA lines and fault lines (docs/pfkeysim.md). */
bool parseTableFile(const std::string &text, std::vector<Sa> *sas, Faults *faults, std::string *error);

} // namespace pfkeysim

#endif
