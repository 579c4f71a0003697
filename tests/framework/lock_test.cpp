/* The global lock and the data-model file as two processes see them. */
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>

#include "framework/ipsec_objcopy.h"
#include "framework/ipsec_walk.h"
#include "mdm_fixture.h"
#include "test_files.h"

namespace {

class LockTest : public ::testing::Test {
  protected:
    void SetUp() override { mdm_fixture::reset(); }
    void TearDown() override { zorLck_releaseLockTraced("LockTest"); }
};

/* A child that takes the lock, says so through `ready`, and holds it until a
 * byte arrives on `go`. Records "released" in `mark` before it releases. */
pid_t holdInChild(int ready, int go, const std::string &mark) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    char c = (zorLck_acquireLockWithTimeoutTraced("child", 5000) == ZORRET_SUCCESS) ? 'y' : 'n';
    if (write(ready, &c, 1) != 1 || read(go, &c, 1) != 1)
        _exit(3);
    test_files::write(mark, "released");
    zorLck_releaseLockTraced("child");
    _exit(0);
}

TEST_F(LockTest, AnotherProcessHoldingTheLockTimesUsOutUntilItReleases) {
    int ready[2], go[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(go));
    const std::string mark = mdm_fixture::home() + "/mark";
    pid_t child = holdInChild(ready[1], go[0], mark);
    ASSERT_GT(child, 0);
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    ASSERT_EQ('y', c);

    EXPECT_EQ(ZORRET_TIMED_OUT, zorLck_acquireLockWithTimeoutTraced("LockTest", 50));
    EXPECT_EQ(ZORRET_TIMED_OUT, zorLck_acquireLockWithTimeoutTraced("LockTest", 0));
    InstanceIdStack it = EMPTY_INSTANCE_ID_STACK;
    void *obj = nullptr;
    EXPECT_EQ(ZORRET_LOCK_REQUIRED, zorObj_getNext(ZOR_OID_IPSEC_CFG, &it, &obj)) << "a failed acquire holds nothing";

    ASSERT_EQ(1, write(go[1], "x", 1));
    EXPECT_EQ(ZORRET_SUCCESS, zorLck_acquireLockWithTimeoutTraced("LockTest", 10000));
    EXPECT_EQ("released", test_files::read(mark)) << "we got the lock only after the child let it go";
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
}

TEST_F(LockTest, HeldLockKeepsTheOtherProcessOut) {
    ASSERT_EQ(ZORRET_SUCCESS, zorLck_acquireLockWithTimeoutTraced("LockTest", 1000));
    pid_t child = fork();
    if (child == 0) {
        ZorRet ret = zorLck_acquireLockWithTimeoutTraced("child", 50);
        _exit(ret == ZORRET_TIMED_OUT ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the child must time out while we hold the lock";
    zorLck_releaseLockTraced("LockTest");

    child = fork();
    if (child == 0)
        _exit(zorLck_acquireLockWithTimeoutTraced("child", 5000) == ZORRET_SUCCESS ? 0 : 1);
    waitpid(child, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status)) << "after our release the child gets it";
}

TEST_F(LockTest, NestedAcquireFailsAndReleaseWithoutHoldIsHarmless) {
    zorLck_releaseLockTraced("LockTest");
    ASSERT_EQ(ZORRET_SUCCESS, zorLck_acquireLockWithTimeoutTraced("LockTest", 1000));
    testing::internal::CaptureStderr();
    EXPECT_NE(ZORRET_SUCCESS, zorLck_acquireLockWithTimeoutTraced("LockTest", 10));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("already held"));
    InstanceIdStack it = EMPTY_INSTANCE_ID_STACK;
    ZorObj<IPSecCfgObject> t;
    EXPECT_EQ(ZORRET_NO_MORE_INSTANCES, zorObj_getNext(ZOR_OID_IPSEC_CFG, &it, t.out()))
        << "the first hold survives the refused nested acquire";
    zorLck_releaseLockTraced("LockTest");
    zorLck_releaseLockTraced("LockTest");
    EXPECT_EQ(ZORRET_SUCCESS, zorLck_acquireLockWithTimeoutTraced("LockTest", 1000));
}

TEST_F(LockTest, FailLockHookRefusesTheNamedAcquires) {
    struct Row {
        const char *name;
        const char *hook;
        std::vector<ZorRet> firstThreeOfA;
        ZorRet b;
    } rows[] = {
        {"every acquire of one function",
         "fnA",
         {ZORRET_TIMED_OUT, ZORRET_TIMED_OUT, ZORRET_TIMED_OUT},
         ZORRET_SUCCESS},
        {"only the second", "fnA:2", {ZORRET_SUCCESS, ZORRET_TIMED_OUT, ZORRET_SUCCESS}, ZORRET_SUCCESS},
        {"another function", "fnB", {ZORRET_SUCCESS, ZORRET_SUCCESS, ZORRET_SUCCESS}, ZORRET_TIMED_OUT},
        {"a name that only starts alike", "fn", {ZORRET_SUCCESS, ZORRET_SUCCESS, ZORRET_SUCCESS}, ZORRET_SUCCESS},
    };
    for (const Row &row : rows) {
        mdm_fixture::reset();
        setenv("ZOR_FAIL_LOCK", row.hook, 1);
        std::vector<ZorRet> got;
        testing::internal::CaptureStderr();
        for (int i = 0; i < 3; i++) {
            got.push_back(zorLck_acquireLockWithTimeoutTraced("fnA", 1000));
            zorLck_releaseLockTraced("fnA");
        }
        ZorRet b = zorLck_acquireLockWithTimeoutTraced("fnB", 1000);
        zorLck_releaseLockTraced("fnB");
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(row.firstThreeOfA, got) << row.name;
        EXPECT_EQ(row.b, b) << row.name;
        EXPECT_EQ(3u, mdm_fixture::traceCount("lock fnA")) << row.name;
    }
}

/* A writer process rewrites the model in a loop with texts of changing
 * length; every read of the file in the meantime must be one whole model. */
/* The daemon's scoped lock and its locked walk log a refused lock as the
 * function they were given, at the line that called them. */
TEST_F(LockTest, ARefusedLockIsLoggedAtTheCallersLine) {
    setenv("ZOR_FAIL_LOCK", "caller", 1);
    auto visitNone = [](const IPSecCfgObject &, InstanceIdStack &) { return true; };
    ZorLock lock("caller");
    testing::internal::CaptureStderr();
    const int acquired = lock.acquire("scoped") == ZORRET_TIMED_OUT ? __LINE__ : 0;
    const int walked = ipsec_walkTunnels("caller", "walk", visitNone) == ZORRET_TIMED_OUT ? __LINE__ : 0;
    const std::string log = testing::internal::GetCapturedStderr();
    unsetenv("ZOR_FAIL_LOCK");
    EXPECT_NE(std::string::npos,
              log.find("ERROR caller:" + std::to_string(acquired) + " scoped failed to get lock, ret:9005"))
        << log;
    EXPECT_NE(std::string::npos,
              log.find("ERROR caller:" + std::to_string(walked) + " walk failed to get lock, ret:9005"))
        << log;
}

TEST_F(LockTest, ReaderNeverSeesATornFile) {
    mdm_fixture::writeJson(R"({"IPSecCfgObject": [{"_iid": 1, "entryID": 1, "connName": "start"}]})");
    pid_t writer = fork();
    if (writer == 0) {
        InstanceIdStack path = {1, {1, 0, 0, 0, 0, 0}};
        for (int i = 0; i < 150; i++) {
            if (zorLck_acquireLockWithTimeoutTraced("writer", 5000) != ZORRET_SUCCESS)
                _exit(1);
            ZorObj<IPSecCfgObject> t;
            if (zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, t.out()) != ZORRET_SUCCESS)
                _exit(2);
            ipsec_setText(&t->connName, std::string(static_cast<size_t>(1000 + (i % 7) * 3000), 'a' + i % 26).c_str());
            t->ph1KeyTime = static_cast<UINT32>(i);
            if (zorObj_set(t.get(), &path) != ZORRET_SUCCESS)
                _exit(3);
            t.reset();
            zorLck_releaseLockTraced("writer");
        }
        _exit(0);
    }
    size_t reads = 0, torn = 0;
    int status = 0;
    while (waitpid(writer, &status, WNOHANG) == 0) {
        bool ok = false;
        std::string text = test_files::read(mdm_fixture::mdmPath(), &ok);
        ASSERT_TRUE(ok) << "the file must exist at every moment";
        auto model = nlohmann::json::parse(text, nullptr, false);
        bool whole = !model.is_discarded() && model["IPSecCfgObject"][0]["connName"].is_string();
        if (whole) {
            std::string name = model["IPSecCfgObject"][0]["connName"];
            whole = name == "start" || name.find_first_not_of(name[0]) == std::string::npos;
        }
        torn += !whole;
        reads++;
    }
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_GT(reads, 0u);
    EXPECT_EQ(0u, torn) << "of " << reads << " reads";
    EXPECT_EQ(149, mdm_fixture::tunnelField(1, "ph1KeyTime"));
}

} // namespace
