/*
 * zorctl wan set|up|down: WAN connections in the data model, and the
 * default-gateway-changed message a WAN connection's coming up or going down
 * sends the daemon.
 */
#include <cstdio>
#include <cstring>

#include "zorctl.h"

namespace {

using zorctl::Args;
using zorctl::Json;

const char kWanHelp[] = "usage: zorctl wan set IFNAME [--ppp] [--device NAME] FIELD=VALUE...\n"
                        "       zorctl wan up IFNAME\n"
                        "       zorctl wan down IFNAME\n"
                        "\n"
                        "set: creates or changes the IP connection (WanIpConnObject; with --ppp the\n"
                        "PPP connection, WanPppConnObject) whose X_VORTALIX_COM_IfName is IFNAME.\n"
                        "Fields: enable (0 or 1), connectionStatus, connectionType (IP only),\n"
                        "externalIPAddress. A new connection goes to the WAN device named by\n"
                        "--device (created when missing), else to the first device (\"wan1\" is\n"
                        "created when there is none). No message is sent.\n"
                        "\n"
                        "up, down: send the daemon (entity 502) a default-gateway-changed message\n"
                        "for IFNAME with isUP 1 or 0.\n";

bool checkIfName(const std::string &name) {
    bool ok = !name.empty() && name.size() < sizeof(IPSecWanChangedMsgBody{}.ifName);
    for (unsigned char c : name)
        ok = ok && c > 0x20 && c != 0x7f;
    if (!ok)
        zorctl::complain("\"%s\" is not an interface name (1 to 31 printable characters)", name.c_str());
    return ok;
}

Json &listOf(Json &obj, const char *key) {
    if (!obj.contains(key))
        obj[key] = Json::array();
    return obj[key];
}

/* The connection named `ifName` in the devices (only in `device` when given). */
Json *findConn(Json &devices, const char *key, const std::string &ifName, const std::string &device) {
    for (Json &dev : devices) {
        auto name = dev.find("name");
        if (!device.empty() && (name == dev.end() || !name->is_string() || *name != device))
            continue;
        if (!dev.contains(key))
            continue;
        for (Json &conn : dev[key]) {
            auto it = conn.find("X_VORTALIX_COM_IfName");
            if (it != conn.end() && it->is_string() && *it == ifName)
                return &conn;
        }
    }
    return nullptr;
}

/* The device a new connection goes to, created when needed. */
Json &deviceFor(Json &devices, const std::string &device) {
    for (Json &dev : devices) {
        if (device.empty())
            return dev;
        auto it = dev.find("name");
        if (it != dev.end() && it->is_string() && *it == device)
            return dev;
    }
    Json dev = Json::object();
    dev["name"] = device.empty() ? "wan" + std::to_string(devices.size() + 1) : device;
    devices.push_back(dev);
    return devices.back();
}

int set(const Args &args) {
    if (args.empty() || !checkIfName(args[0]))
        return zorctl::EXIT_USAGE;
    const std::string ifName = args[0];
    bool ppp = false;
    std::string device;
    Args words;
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "--ppp") {
            ppp = true;
        } else if (args[i] == "--device" && i + 1 < args.size()) {
            device = args[++i];
        } else {
            words.push_back(args[i]);
        }
    }
    const ZorObjectId oid = ppp ? ZOR_OID_WAN_PPP_CONN : ZOR_OID_WAN_IP_CONN;
    const char *key = ppp ? "WanPppConnObject" : "WanIpConnObject";
    Json fields;
    if (!zorctl::parseFields(oid, words, &fields))
        return zorctl::EXIT_USAGE;

    zorctl::Lock lock;
    if (!lock.take())
        return zorctl::EXIT_FAILED;
    Json *root = nullptr;
    ZorRet ret = zor_standin::modelGet(&root);
    if (ret != ZORRET_SUCCESS) {
        zorctl::complain("the data model %s cannot be used (result %d)", zor_standin::mdmPath().c_str(),
                         static_cast<int>(ret));
        return zorctl::EXIT_FAILED;
    }
    Json model = *root;
    Json &devices = listOf(model, "WanDevObject");
    Json *conn = findConn(devices, key, ifName, device);
    if (!conn) {
        Json fresh = Json::object();
        fresh["X_VORTALIX_COM_IfName"] = ifName;
        Json &list = listOf(deviceFor(devices, device), key);
        list.push_back(fresh);
        conn = &list.back();
    }
    for (auto f = fields.begin(); f != fields.end(); ++f)
        (*conn)[f.key()] = f.value();
    ret = zor_standin::modelStore(model);
    if (ret != ZORRET_SUCCESS) {
        zorctl::complain("the data model could not be written (result %d)", static_cast<int>(ret));
        return zorctl::EXIT_FAILED;
    }
    printf("set %s connection %s\n", ppp ? "PPP" : "IP", ifName.c_str());
    return zorctl::EXIT_OK;
}

int upDown(const Args &args, bool up) {
    if (args.size() != 1) {
        zorctl::complain("usage: zorctl wan %s IFNAME", up ? "up" : "down");
        return zorctl::EXIT_USAGE;
    }
    if (!checkIfName(args[0]))
        return zorctl::EXIT_USAGE;
    IPSecWanChangedMsgBody body;
    memset(&body, 0, sizeof(body));
    zorUtl_strncpy(body.ifName, args[0].c_str(), sizeof(body.ifName));
    body.isUP = up ? 1 : 0;
    ZorMsgHeader h;
    memset(&h, 0, sizeof(h));
    h.type = ZOR_MSG_IPSEC_DFL_GW_CHANGED;
    h.src = EID_KIV;
    h.dst = EID_IPSEC;
    h.flags = ZOR_MSG_FLAG_EVENT;
    h.dataLength = sizeof(body);
    return zorctl::sendToDaemon(&h, &body);
}

} // namespace

namespace zorctl {

int cmdWan(const Args &args) {
    if (args.empty() || wantsHelp(args)) {
        fputs(kWanHelp, args.empty() ? stderr : stdout);
        return args.empty() ? EXIT_USAGE : EXIT_OK;
    }
    Args rest(args.begin() + 1, args.end());
    if (args[0] == "set")
        return set(rest);
    if (args[0] == "up")
        return upDown(rest, true);
    if (args[0] == "down")
        return upDown(rest, false);
    complain("unknown wan command \"%s\"", args[0].c_str());
    return EXIT_USAGE;
}

} // namespace zorctl
