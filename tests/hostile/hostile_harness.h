/*
 * Shared scene of the hostile-input tests: four tunnels (two of them only
 * bystanders), the WAN up on wan0, and what the daemon did in one step: the
 * commands it would have run, its log, the files under /var/ipsec.
 */
#ifndef HOSTILE_HARNESS_H
#define HOSTILE_HARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/zor.h"
#include "msg_frame.h"

namespace hostile {

/* Tunnel 1: manually keyed, gateway 203.0.113.9, 192.168.1.0/24 to 10.2.0.0/16.
 * Tunnel 2: IKE, gateway 192.0.2.50, 192.168.1.0/24 to 192.0.2.77.
 * Tunnel 3: IKE bystander, gateway 192.0.2.60, 192.168.3.0/24 to 10.3.0.0/16.
 * Tunnel 4: manual bystander, gateway 203.0.113.40, 192.168.4.0/24 to 10.4.0.0/16. */
nlohmann::json baseTunnels();
/* The data model with these tunnels and a connected WAN on wan0. */
void writeModel(const nlohmann::json &tunnels);

/* What one step of the daemon did. */
struct Outcome {
    std::vector<std::string> commands;
    std::string log;
    std::string setkeyConf;
    std::string racoonConf;
    std::string pskTxt;
};

/* Runs `step` with the recorder cleared and standard error captured. */
template <typename F> Outcome observe(F step);
Outcome observeImpl(void (*step)(void *), void *arg);

/* Framework messages: header then body, host byte order (msg_frame.h). */
using msg_frame::frame;
using msg_frame::wanMsg;
/* Tunnel 1's change message as the framework sends it (the tunnel before the change). */
IpsecCfgChangedMsgBody cfgBody(UINT32 op);
void handle(const std::vector<unsigned char> &msg);

/* Failures (empty when fine) of the checks every row makes: each command is
 * made of plain words only and holds none of `hostile`; setkey.conf is
 * statements one per line, each ended by its only ';'; racoon.conf's braces
 * balance; no file holds a control character other than the line ends. */
std::string injectionFailures(const Outcome &o, const std::string &hostile);
/* Failures when the bystander tunnels 3 and 4 are not fully installed. */
std::string bystanderFailures(const Outcome &o);

bool hasCommandContaining(const Outcome &o, const std::string &text);

/* /var/ipsec on a tmpfs of its own with only `freePages` pages of 4 KiB left
 * for the daemon's files; unmounted again by emptyVarIpsec (or the sandbox). */
void fillVarIpsec(int freePages);
void emptyVarIpsec();

template <typename F> Outcome observe(F step) {
    return observeImpl([](void *arg) { (*static_cast<F *>(arg))(); }, &step);
}

/* A fresh data model, recorder and kernel. */
class Scene : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace hostile

#endif
