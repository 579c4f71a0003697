/*
 * zorctl tunnel add|set|del: edits one IPSecCfgObject under the global lock,
 * then tells the daemon with a configuration-changed message describing the
 * tunnel as it was before the edit.
 */
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstring>

#include "zorctl.h"

namespace {

using zorctl::Args;
using zorctl::Json;

const char kTunnelHelp[] = "usage: zorctl tunnel add FIELD=VALUE...\n"
                           "       zorctl tunnel set ENTRYID FIELD=VALUE... [--restart]\n"
                           "       zorctl tunnel del ENTRYID\n"
                           "\n"
                           "Edits one tunnel (IPSecCfgObject) of the data model under the global lock,\n"
                           "then sends the daemon (entity 502) a configuration-changed message: op 1 for\n"
                           "add, 3 for set (4 with --restart: the daemon restarts its key daemon), 2 for\n"
                           "del, with the tunnel's previous entryID, enable, modes, addresses, masks,\n"
                           "gateway address and SPIs, and its instance path.\n"
                           "\n"
                           "FIELD is a field of the tunnel record (entryID, enable, connName,\n"
                           "remoteGWAddress, localIPMode, localIPAddress, localMask, remoteIPMode,\n"
                           "remoteIPAddress, remoteMask, keyExMethod, authMethod, PSK, SPI, secondSPI,\n"
                           "ph1Mode, ph1EncryptionAlo, ...). Texts are taken as given (FIELD= is empty\n"
                           "text); numbers are decimal; flags are 0 or 1.\n"
                           "\n"
                           "add: entryID is one more than the largest in use unless given. realRemoteIP\n"
                           "is remoteGWAddress when that is a dotted quad, else its resolved address,\n"
                           "else 0.0.0.0 (unless realRemoteIP is given). set recomputes realRemoteIP\n"
                           "the same way when it changes remoteGWAddress.\n";

/* The gateway's address: itself when dotted, else resolved, else "0.0.0.0". */
std::string realRemoteFor(const std::string &gateway) {
    struct in_addr addr;
    if (inet_pton(AF_INET, gateway.c_str(), &addr) == 1)
        return gateway;
    if (gateway.empty())
        return "0.0.0.0";
    struct hostent *h = gethostbyname(gateway.c_str());
    if (!h || h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list || !h->h_addr_list[0])
        return "0.0.0.0";
    memcpy(&addr, h->h_addr_list[0], sizeof(addr));
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &addr, text, sizeof(text)) ? std::string(text) : "0.0.0.0";
}

UINT32 number(const Json &t, const char *field) {
    auto it = t.find(field);
    return (it != t.end() && it->is_number_unsigned()) ? it->get<UINT32>() : 0;
}

void copyText(char *dst, const Json &t, const char *field, const char *unset) {
    auto it = t.find(field);
    const char *text = (it != t.end() && it->is_string()) ? it->get_ref<const std::string &>().c_str() : unset;
    if (text[0] == '\0')
        text = unset;
    zorUtl_strncpy(dst, text, 16);
}

IpsecCfgChangedMsgBody bodyFrom(const Json &t, UINT32 op, UINT32 iid) {
    IpsecCfgChangedMsgBody body;
    memset(&body, 0, sizeof(body));
    body.local_ip_mode = number(t, "localIPMode");
    body.remote_ip_mode = number(t, "remoteIPMode");
    body.entryID = number(t, "entryID");
    body.op = op;
    body.enable = static_cast<UINT8>(number(t, "enable"));
    copyText(body.local_ip, t, "localIPAddress", "");
    copyText(body.local_mask, t, "localMask", "");
    copyText(body.remote_ip, t, "remoteIPAddress", "");
    copyText(body.remote_mask, t, "remoteMask", "");
    copyText(body.real_remote_gw_ip, t, "realRemoteIP", "0.0.0.0");
    copyText(body.spi, t, "SPI", "");
    copyText(body.second_spi, t, "secondSPI", "");
    body.stack.currentDepth = 1;
    body.stack.instance[0] = iid;
    return body;
}

int send(const IpsecCfgChangedMsgBody &body) {
    ZorMsgHeader h;
    memset(&h, 0, sizeof(h));
    h.type = ZOR_MSG_IPSEC_CFG_CHANGED;
    h.src = EID_KIV;
    h.dst = EID_IPSEC;
    h.flags = ZOR_MSG_FLAG_EVENT;
    h.dataLength = sizeof(body);
    return zorctl::sendToDaemon(&h, &body);
}

/* The tunnels of the model (created when absent). */
Json &tunnelList(Json &root) {
    if (!root.contains("IPSecCfgObject"))
        root["IPSecCfgObject"] = Json::array();
    return root["IPSecCfgObject"];
}

/* Index of the tunnel with this entryID, or -1. */
long findTunnel(const Json &list, UINT32 entryID) {
    for (size_t i = 0; i < list.size(); i++)
        if (number(list[i], "entryID") == entryID)
            return static_cast<long>(i);
    return -1;
}

/* Takes the lock and hands out a copy of the model to edit. */
bool beginEdit(zorctl::Lock &lock, Json *model) {
    if (!lock.take())
        return false;
    Json *root = nullptr;
    ZorRet ret = zor_standin::modelGet(&root);
    if (ret != ZORRET_SUCCESS) {
        zorctl::complain("the data model %s cannot be used (result %d)", zor_standin::mdmPath().c_str(),
                         static_cast<int>(ret));
        return false;
    }
    *model = *root;
    return true;
}

/* beginEdit, then the tunnel with this entryID in the copy: EXIT_OK with
 * `list` and `at` set, or the exit status to return. */
int editTunnel(zorctl::Lock &lock, Json *model, UINT32 entryID, Json **list, size_t *at) {
    if (!beginEdit(lock, model))
        return zorctl::EXIT_FAILED;
    *list = &tunnelList(*model);
    const long found = findTunnel(**list, entryID);
    if (found < 0) {
        zorctl::complain("no tunnel with entryID %u", entryID);
        return zorctl::EXIT_USAGE;
    }
    *at = static_cast<size_t>(found);
    return zorctl::EXIT_OK;
}

bool commit(const Json &model) {
    ZorRet ret = zor_standin::modelStore(model);
    if (ret != ZORRET_SUCCESS)
        zorctl::complain("the data model could not be written (result %d)", static_cast<int>(ret));
    return ret == ZORRET_SUCCESS;
}

int add(const Args &words) {
    Json fields;
    if (!zorctl::parseFields(ZOR_OID_IPSEC_CFG, words, &fields))
        return zorctl::EXIT_USAGE;
    if (!fields.contains("realRemoteIP"))
        fields["realRemoteIP"] = realRemoteFor(fields.value("remoteGWAddress", ""));

    zorctl::Lock lock;
    Json model;
    if (!beginEdit(lock, &model))
        return zorctl::EXIT_FAILED;
    Json &list = tunnelList(model);
    UINT32 entryID = 0;
    if (fields.contains("entryID")) {
        entryID = fields["entryID"].get<UINT32>();
        if (findTunnel(list, entryID) >= 0) {
            zorctl::complain("field \"entryID\": a tunnel with entryID %u exists", entryID);
            return zorctl::EXIT_USAGE;
        }
    } else {
        for (const Json &t : list)
            entryID = std::max(entryID, number(t, "entryID"));
        if (entryID == 0xFFFFFFFFu) {
            zorctl::complain("no entryID left; give one with entryID=");
            return zorctl::EXIT_USAGE;
        }
        entryID++;
    }
    Json tunnel = Json::object();
    tunnel["entryID"] = entryID;
    for (auto f = fields.begin(); f != fields.end(); ++f)
        if (f.key() != "entryID")
            tunnel[f.key()] = f.value();
    list.push_back(tunnel);
    if (!commit(model))
        return zorctl::EXIT_FAILED;
    Json *stored = nullptr;
    zor_standin::modelGet(&stored);
    const Json &added = (*stored)["IPSecCfgObject"].back();
    IpsecCfgChangedMsgBody body = bodyFrom(Json::object(), zorctl::kOpAdd, number(added, "_iid"));
    body.entryID = entryID;
    zorUtl_strncpy(body.real_remote_gw_ip, "0.0.0.0", 16);
    lock.release();
    printf("added tunnel %u\n", entryID);
    return send(body);
}

int change(const Args &args) {
    UINT32 entryID = 0;
    if (args.empty() || !zorctl::parseU32(args[0], &entryID)) {
        zorctl::complain("tunnel set: expected ENTRYID first");
        return zorctl::EXIT_USAGE;
    }
    Args words;
    bool restart = false;
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "--restart")
            restart = true;
        else
            words.push_back(args[i]);
    }
    Json fields;
    if (!zorctl::parseFields(ZOR_OID_IPSEC_CFG, words, &fields))
        return zorctl::EXIT_USAGE;
    if (fields.contains("remoteGWAddress") && !fields.contains("realRemoteIP"))
        fields["realRemoteIP"] = realRemoteFor(fields["remoteGWAddress"].get<std::string>());

    zorctl::Lock lock;
    Json model;
    Json *tunnels = nullptr;
    size_t at = 0;
    if (int rc = editTunnel(lock, &model, entryID, &tunnels, &at))
        return rc;
    Json &list = *tunnels;
    if (fields.contains("entryID")) {
        long other = findTunnel(list, fields["entryID"].get<UINT32>());
        if (other >= 0 && static_cast<size_t>(other) != at) {
            zorctl::complain("field \"entryID\": a tunnel with entryID %u exists", fields["entryID"].get<UINT32>());
            return zorctl::EXIT_USAGE;
        }
    }
    Json &tunnel = list[at];
    IpsecCfgChangedMsgBody body =
        bodyFrom(tunnel, restart ? zorctl::kOpRestart : zorctl::kOpChange, number(tunnel, "_iid"));
    for (auto f = fields.begin(); f != fields.end(); ++f)
        tunnel[f.key()] = f.value();
    if (!commit(model))
        return zorctl::EXIT_FAILED;
    lock.release();
    printf("changed tunnel %u\n", entryID);
    return send(body);
}

int del(const Args &args) {
    UINT32 entryID = 0;
    if (args.size() != 1 || !zorctl::parseU32(args[0], &entryID)) {
        zorctl::complain("usage: zorctl tunnel del ENTRYID");
        return zorctl::EXIT_USAGE;
    }
    zorctl::Lock lock;
    Json model;
    Json *tunnels = nullptr;
    size_t at = 0;
    if (int rc = editTunnel(lock, &model, entryID, &tunnels, &at))
        return rc;
    Json &list = *tunnels;
    const Json &tunnel = list[at];
    IpsecCfgChangedMsgBody body = bodyFrom(tunnel, zorctl::kOpDelete, number(tunnel, "_iid"));
    list.erase(at);
    if (!commit(model))
        return zorctl::EXIT_FAILED;
    lock.release();
    printf("deleted tunnel %u\n", entryID);
    return send(body);
}

} // namespace

namespace zorctl {

int cmdTunnel(const Args &args) {
    if (args.empty() || wantsHelp(args)) {
        fputs(kTunnelHelp, args.empty() ? stderr : stdout);
        return args.empty() ? EXIT_USAGE : EXIT_OK;
    }
    Args rest(args.begin() + 1, args.end());
    if (args[0] == "add")
        return add(rest);
    if (args[0] == "set")
        return change(rest);
    if (args[0] == "del")
        return del(rest);
    complain("unknown tunnel command \"%s\"", args[0].c_str());
    return EXIT_USAGE;
}

} // namespace zorctl
