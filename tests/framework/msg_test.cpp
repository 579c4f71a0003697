/* Messages between entities as the framework lays them out: framing, replies, start-up. */
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "../../standin/framework/zor_standin.h"
#include "framework/zor.h"
#include "mdm_fixture.h"

namespace {

/* A message as bytes, header fields at their offsets in host byte order. */
std::vector<unsigned char> rawMessage(UINT32 type, UINT32 src, UINT32 dst, UINT16 flags, UINT32 dataLength,
                                      size_t bodyBytes) {
    std::vector<unsigned char> m(28 + bodyBytes, 0);
    auto put32 = [&m](size_t off, UINT32 v) { memcpy(&m[off], &v, 4); };
    put32(0, type);
    put32(4, src);
    put32(8, dst);
    memcpy(&m[12], &flags, 2);
    put32(24, dataLength);
    for (size_t i = 0; i < bodyBytes; i++)
        m[28 + i] = static_cast<unsigned char>(i * 7 + 1);
    return m;
}

/* Sends bytes to an entity's socket from an anonymous socket. */
bool sendRaw(UINT32 eid, const void *data, size_t len) {
    std::string path = mdm_fixture::home() + "/msg/" + std::to_string(eid);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    ssize_t n = sendto(fd, data, len, 0, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
    close(fd);
    return n == static_cast<ssize_t>(len);
}

class MsgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mdm_fixture::reset();
        ASSERT_EQ(ZORRET_SUCCESS, zorMsg_init(EID_IPSEC, &handle));
    }
    void TearDown() override { zorMsg_cleanup(&handle); }
    void *handle = nullptr;
};

TEST_F(MsgTest, FramingOfReceivedDatagrams) {
    const UINT32 T = ZOR_MSG_IPSEC_DFL_GW_CHANGED;
    struct Row {
        const char *name;
        std::vector<unsigned char> bytes;
        bool accepted;
    } rows[] = {
        {"header and 36-byte body", rawMessage(T, 20, 502, 0x8000, 36, 36), true},
        {"header only", rawMessage(T, 20, 502, 0, 0, 0), true},
        {"body of 160 bytes", rawMessage(ZOR_MSG_IPSEC_CFG_CHANGED, 20, 502, 0, 160, 160), true},
        {"empty datagram", {}, false},
        {"27 bytes", std::vector<unsigned char>(27, 0), false},
        {"dataLength larger than the body", rawMessage(T, 20, 502, 0, 100, 36), false},
        {"dataLength smaller than the body", rawMessage(T, 20, 502, 0, 10, 36), false},
        {"dataLength of a body that is missing", rawMessage(T, 20, 502, 0, 36, 0), false},
        {"dataLength wrapping around", rawMessage(T, 20, 502, 0, 0xFFFFFFE4u, 0), false},
        {"oversized datagram", rawMessage(T, 20, 502, 0, 70000, 70000), false},
    };
    const std::vector<unsigned char> good = rawMessage(T, 20, 502, 0, 4, 4);
    for (const Row &row : rows) {
        ASSERT_TRUE(sendRaw(EID_IPSEC, row.bytes.data(), row.bytes.size())) << row.name;
        ASSERT_TRUE(sendRaw(EID_IPSEC, good.data(), good.size())) << row.name;
        ZorMsgHeader *msg = nullptr;
        testing::internal::CaptureStderr();
        ZorRet ret = zorMsg_receiveWithTimeout(handle, &msg, 1000);
        std::string log = testing::internal::GetCapturedStderr();
        if (row.accepted) {
            ASSERT_EQ(ZORRET_SUCCESS, ret) << row.name;
            ASSERT_NE(nullptr, msg);
            EXPECT_EQ(0, memcmp(msg, row.bytes.data(), row.bytes.size())) << row.name;
            EXPECT_EQ("", log) << row.name;
        } else {
            EXPECT_NE(ZORRET_SUCCESS, ret) << row.name;
            EXPECT_EQ(nullptr, msg) << row.name;
            EXPECT_NE(std::string::npos, log.find("refused")) << row.name << ": " << log;
        }
        zorMem_free(msg);
        msg = nullptr;
        ASSERT_EQ(ZORRET_SUCCESS, zorMsg_receiveWithTimeout(handle, &msg, 1000))
            << row.name << ": the next message comes through";
        EXPECT_EQ(0, memcmp(msg, good.data(), good.size())) << row.name;
        zorMem_free(msg);
    }
}

TEST_F(MsgTest, EventHandleIsReadableExactlyWhileAMessageWaits) {
    int fd = -1;
    ASSERT_EQ(ZORRET_SUCCESS, zorMsg_getEventHandle(handle, &fd));
    struct pollfd pfd = {fd, POLLIN, 0};
    EXPECT_EQ(0, poll(&pfd, 1, 0));
    ZorMsgHeader *msg = nullptr;
    EXPECT_EQ(ZORRET_TIMED_OUT, zorMsg_receiveWithTimeout(handle, &msg, 0));
    EXPECT_EQ(nullptr, msg);

    auto m = rawMessage(ZOR_MSG_IPSEC_DFL_GW_CHANGED, 20, 502, 0, 36, 36);
    ASSERT_TRUE(sendRaw(EID_IPSEC, m.data(), m.size()));
    EXPECT_EQ(1, poll(&pfd, 1, 1000));
    ASSERT_EQ(ZORRET_SUCCESS, zorMsg_receiveWithTimeout(handle, &msg, 0));
    ZorMsgHeader h;
    memcpy(&h, msg, sizeof(h));
    EXPECT_EQ(ZOR_MSG_IPSEC_DFL_GW_CHANGED, h.type);
    EXPECT_EQ(36u, h.dataLength);
    zorMem_free(msg);
    EXPECT_EQ(0, poll(&pfd, 1, 0));
}

/* A child playing entity 21: optionally sends the daemon an unrelated message
 * first, then answers the request with `result` (or never, when negative). */
pid_t answerInChild(long result, bool sendOtherFirst) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    void *wev = nullptr;
    if (zorMsg_init(EID_WEV, &wev) != ZORRET_SUCCESS)
        _exit(1);
    ZorMsgHeader *req = nullptr;
    if (zorMsg_receiveWithTimeout(wev, &req, 10000) != ZORRET_SUCCESS)
        _exit(2);
    if (sendOtherFirst) {
        auto m = rawMessage(ZOR_MSG_IPSEC_DFL_GW_CHANGED, 20, 502, 0, 36, 36);
        if (!sendRaw(EID_IPSEC, m.data(), m.size()))
            _exit(3);
    }
    ZorMsgHeader h;
    memcpy(&h, req, sizeof(h));
    bool asExpected = h.type == ZOR_MSG_GET_WAN_CONN_STATUS && h.dataLength == 5 &&
                      memcmp(reinterpret_cast<unsigned char *>(req) + 28, "wan0", 5) == 0;
    if (result >= 0)
        zor_standin::msgReply(wev, req, static_cast<UINT32>(result));
    zorMem_free(req);
    zorMsg_cleanup(&wev);
    _exit(asExpected ? 0 : 4);
}

std::vector<unsigned char> wanStatusRequest() {
    auto m = rawMessage(ZOR_MSG_GET_WAN_CONN_STATUS, EID_IPSEC, EID_WEV, ZOR_MSG_FLAG_REQUEST, 5, 5);
    memcpy(&m[28], "wan0", 5);
    return m;
}

/* Waits until entity 21's socket exists, so the request is not sent too early. */
void waitForEntity(UINT32 eid) {
    std::string path = mdm_fixture::home() + "/msg/" + std::to_string(eid);
    for (int i = 0; i < 1000 && access(path.c_str(), F_OK) != 0; i++)
        usleep(5000);
}

TEST_F(MsgTest, SendAndGetReplyReturnsTheRepliesResult) {
    struct Row {
        const char *name;
        long result;
        bool other;
        ZorRet expected;
    } rows[] = {
        {"wan up", 1, false, static_cast<ZorRet>(1)},
        {"wan not up", 0, false, ZORRET_SUCCESS},
        {"error code", 9002, false, ZORRET_INTERNAL_ERROR},
        {"another message arrives first", 1, true, static_cast<ZorRet>(1)},
        {"no reply in time", -1, false, ZORRET_TIMED_OUT},
    };
    for (const Row &row : rows) {
        pid_t child = answerInChild(row.result, row.other);
        waitForEntity(EID_WEV);
        auto req = wanStatusRequest();
        ZorMsgHeader *request = static_cast<ZorMsgHeader *>(zorMem_alloc(static_cast<UINT32>(req.size()), 0));
        memcpy(request, req.data(), req.size());
        EXPECT_EQ(row.expected, zorMsg_sendAndGetReplyWithTimeout(handle, request, row.result < 0 ? 300 : 10000))
            << row.name;
        zorMem_free(request);
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_EQ(0, WEXITSTATUS(status)) << row.name << ": the request as the peer received it";
        ZorMsgHeader *msg = nullptr;
        ZorRet later = zorMsg_receiveWithTimeout(handle, &msg, 0);
        EXPECT_EQ(row.other ? ZORRET_SUCCESS : ZORRET_TIMED_OUT, later)
            << row.name << ": a message that came during the wait stays for the event loop";
        zorMem_free(msg);
    }
}

TEST_F(MsgTest, SendWithNobodyAtTheDestinationFailsAtOnce) {
    auto req = wanStatusRequest();
    ZorMsgHeader *request = static_cast<ZorMsgHeader *>(zorMem_alloc(static_cast<UINT32>(req.size()), 0));
    memcpy(request, req.data(), req.size());
    EXPECT_EQ(ZORRET_MSG_NOT_DELIVERED, zorMsg_sendAndGetReplyWithTimeout(handle, request, 100000));
    zorMem_free(request);
    EXPECT_EQ(1u, mdm_fixture::traceCount("send 0x10000881 21"));
}

TEST_F(MsgTest, InitRefusesALiveEntityAndReplacesAStaleSocket) {
    void *second = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_NE(ZORRET_SUCCESS, zorMsg_init(EID_IPSEC, &second)) << "502 is live in this process";
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(nullptr, second);

    /* A socket file left by a process that is gone. */
    std::string path = mdm_fixture::home() + "/msg/21";
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)));
    close(fd);
    void *wev = nullptr;
    ASSERT_EQ(ZORRET_SUCCESS, zorMsg_init(EID_WEV, &wev));
    auto m = rawMessage(ZOR_MSG_IPSEC_DFL_GW_CHANGED, 20, 21, 0, 0, 0);
    ASSERT_TRUE(sendRaw(EID_WEV, m.data(), m.size()));
    ZorMsgHeader *msg = nullptr;
    EXPECT_EQ(ZORRET_SUCCESS, zorMsg_receiveWithTimeout(wev, &msg, 1000));
    zorMem_free(msg);
    zorMsg_cleanup(&wev);
    EXPECT_EQ(nullptr, wev);
    EXPECT_NE(0, access(path.c_str(), F_OK)) << "cleanup removes the socket";
}

TEST(FrameworkStartHooks, InitHooksFailStartUp) {
    mdm_fixture::reset();
    struct Row {
        const char *name;
        const char *msgHook;
        const char *mdmHook;
        bool msgOk, mdmOk;
    } rows[] = {
        {"no hook", nullptr, nullptr, true, true},
        {"messaging refused", "1", nullptr, false, true},
        {"data model refused", nullptr, "1", true, false},
        {"hook set to 0", "0", "0", true, true},
    };
    for (const Row &row : rows) {
        row.msgHook ? setenv("ZOR_FAIL_MSG_INIT", row.msgHook, 1) : unsetenv("ZOR_FAIL_MSG_INIT");
        row.mdmHook ? setenv("ZOR_FAIL_MDM_INIT", row.mdmHook, 1) : unsetenv("ZOR_FAIL_MDM_INIT");
        void *h = nullptr;
        SINT32 shm = 0;
        testing::internal::CaptureStderr();
        ZorRet msgRet = zorMsg_init(EID_IPSEC, &h);
        ZorRet mdmRet = zorMdm_init(EID_IPSEC, h, &shm);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(row.msgOk, msgRet == ZORRET_SUCCESS) << row.name;
        EXPECT_EQ(row.msgOk, h != nullptr) << row.name;
        EXPECT_EQ(row.mdmOk, mdmRet == ZORRET_SUCCESS) << row.name;
        zorMsg_cleanup(&h);
    }
    unsetenv("ZOR_FAIL_MSG_INIT");
    unsetenv("ZOR_FAIL_MDM_INIT");
}

} // namespace
