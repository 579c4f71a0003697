/* The simulated kernel against the real kernel's captures, and its exchange
 * as a PF_KEY user sees it. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/pfkeyv2.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "pfkeysim.h"
#include "test_files.h"

namespace {

bool littleEndianHost() {
    return htonl(1) != 1;
}

std::vector<std::vector<uint8_t>> capture(const char *name) {
    return pfkeysim::loadHex(std::string(IPSEC_FIXTURE_DIR) + "/" + name + ".hex");
}

sadb_msg header(const std::vector<uint8_t> &msg) {
    sadb_msg h{};
    std::memcpy(&h, msg.data(), sizeof(h));
    return h;
}

class Socket {
  public:
    Socket() : fd_(socket(PF_KEY, SOCK_RAW, PF_KEY_V2)) {}
    ~Socket() {
        if (fd_ >= 0)
            close(fd_);
    }
    int fd() const { return fd_; }
    void dump(uint32_t seq, uint8_t satype = SADB_SATYPE_ESP) {
        std::vector<uint8_t> req = pfkeysim::headerMessage(SADB_DUMP, satype, 0, seq, static_cast<uint32_t>(getpid()));
        ASSERT_EQ(16, write(fd_, req.data(), req.size()));
    }
    /* Reads one message; empty when the read failed (errno kept). */
    std::vector<uint8_t> next() {
        uint8_t buf[4096];
        ssize_t n = read(fd_, buf, sizeof(buf));
        return n < 0 ? std::vector<uint8_t>() : std::vector<uint8_t>(buf, buf + n);
    }
    void timeout() {
        timeval tv{3, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }

  private:
    int fd_;
};

class PfkeySim : public ::testing::Test {
  protected:
    void SetUp() override { pfkeysim::reset(); }
    void TearDown() override { EXPECT_EQ(0, pfkeysim::openSockets()); }
};

using pfkeysim::sa;

// The simulator's messages are the real kernel's bytes (x86-64 captures).
TEST_F(PfkeySim, MessagesMatchRealKernelCaptures) {
    if (!littleEndianHost())
        GTEST_SKIP() << "captures are little-endian";
    auto two = capture("dump_two_tunnel");
    ASSERT_EQ(2u, two.size());
    EXPECT_EQ(two[0], pfkeysim::saMessage(sa("203.0.113.9", "198.51.100.2", 0x1001, 4), SADB_DUMP, 1, 418));
    EXPECT_EQ(two[1], pfkeysim::saMessage(sa("198.51.100.2", "203.0.113.9", 0x1000, 3), SADB_DUMP, 0, 418));

    auto larval = capture("dump_larval");
    ASSERT_EQ(2u, larval.size());
    pfkeysim::Sa l = sa("203.0.113.9", "198.51.100.2", 0x2000, 6, SADB_SASTATE_LARVAL);
    l.aalg = l.ealg = 0;
    l.hardAddtime = 30;
    l.currentAddtime = 1796628615;
    EXPECT_EQ(larval[0], pfkeysim::saMessage(l, SADB_DUMP, 1, 429));

    auto empty = capture("dump_empty");
    ASSERT_EQ(1u, empty.size());
    EXPECT_EQ(empty[0], pfkeysim::headerMessage(SADB_DUMP, SADB_SATYPE_ESP, ENOENT, 0, 408));
}

// Dump numbering: 1..N-1 then 0, the requester's pid; an empty table answers
// once with ENOENT and the request's own seq.
TEST_F(PfkeySim, DumpRepliesAreNumberedLikeLinux) {
    const uint32_t pid = static_cast<uint32_t>(getpid());
    struct Row {
        const char *name;
        size_t sas;
        uint32_t reqSeq;
        std::vector<uint32_t> seqs;
        uint8_t err;
    } rows[] = {
        {"three SAs", 3, 9, {1, 2, 0}, 0},
        {"one SA", 1, 9, {0}, 0},
        {"empty table, request seq 7", 0, 7, {7}, ENOENT},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<pfkeysim::Sa> table;
        for (size_t i = 0; i < r.sas; i++)
            table.push_back(sa("198.51.100.2", "203.0.113.9", 0x100 + static_cast<uint32_t>(i), 3));
        pfkeysim::setTable(table);
        Socket s;
        ASSERT_GE(s.fd(), 0);
        s.dump(r.reqSeq);
        for (uint32_t seq : r.seqs) {
            auto msg = s.next();
            ASSERT_FALSE(msg.empty());
            sadb_msg h = header(msg);
            EXPECT_EQ(SADB_DUMP, h.sadb_msg_type);
            EXPECT_EQ(seq, h.sadb_msg_seq);
            EXPECT_EQ(pid, h.sadb_msg_pid);
            EXPECT_EQ(r.err, h.sadb_msg_errno);
            EXPECT_EQ(msg.size(), h.sadb_msg_len * 8u);
        }
        s.timeout();
        EXPECT_TRUE(s.next().empty());
        EXPECT_EQ(EAGAIN, errno);
    }
}

// A tiny receive buffer stalls the dump after two messages for good; the
// default buffer lets 111 messages wait and resumes as they are read.
TEST_F(PfkeySim, DumpIsPacedByTheReceiveBuffer) {
    std::vector<pfkeysim::Sa> table(300, sa("198.51.100.2", "203.0.113.9", 0x3000, 10));
    pfkeysim::setTable(table);
    {
        Socket s;
        int tiny = 1;
        setsockopt(s.fd(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof(tiny));
        s.timeout();
        s.dump(0);
        EXPECT_FALSE(s.next().empty());
        EXPECT_FALSE(s.next().empty());
        EXPECT_TRUE(s.next().empty());
        EXPECT_EQ(EAGAIN, errno);
    }
    Socket s;
    s.timeout();
    s.dump(0);
    size_t n = 0;
    for (auto msg = s.next(); !msg.empty(); msg = s.next()) {
        n++;
        if (header(msg).sadb_msg_seq == 0)
            break;
    }
    EXPECT_EQ(300u, n);
}

TEST_F(PfkeySim, SecondDumpWhileRunningIsBusy) {
    pfkeysim::setTable({sa("198.51.100.2", "203.0.113.9", 1, 3), sa("198.51.100.2", "203.0.113.9", 2, 3)});
    pfkeysim::neverFinishAfter(1);
    Socket s;
    s.timeout();
    s.dump(0);
    s.dump(5);
    EXPECT_EQ(1u, header(s.next()).sadb_msg_seq);
    sadb_msg busy = header(s.next());
    EXPECT_EQ(EBUSY, busy.sadb_msg_errno);
    EXPECT_EQ(5u, busy.sadb_msg_seq);
    EXPECT_TRUE(s.next().empty());
    EXPECT_EQ(2, pfkeysim::dumpRequests());
}

// Faults: a broadcast lands between dump messages, a read fails, an
// extension length is spoiled.
TEST_F(PfkeySim, FaultsAppearWhereAsked) {
    pfkeysim::setTable({sa("198.51.100.2", "203.0.113.9", 1, 3), sa("198.51.100.2", "203.0.113.9", 2, 3)});
    pfkeysim::injectBroadcast(1, pfkeysim::BCAST_SPDADD, 4242, 0);
    pfkeysim::corruptExtension(2, SADB_X_EXT_SA2, 0);
    pfkeysim::failReadAt(4);
    Socket s;
    s.dump(0);
    EXPECT_EQ(SADB_DUMP, header(s.next()).sadb_msg_type);
    sadb_msg b = header(s.next());
    EXPECT_EQ(SADB_X_SPDADD, b.sadb_msg_type);
    EXPECT_EQ(4242u, b.sadb_msg_pid);
    auto last = s.next();
    ASSERT_EQ(272u, last.size());
    uint16_t sa2Len = 0xffff;
    std::memcpy(&sa2Len, last.data() + 256, sizeof(sa2Len));
    EXPECT_EQ(0u, sa2Len);
    EXPECT_TRUE(s.next().empty());
    EXPECT_EQ(EIO, errno);
}

TEST_F(PfkeySim, RejectsWhatLinuxRejects) {
    Socket s;
    uint8_t shortMsg[8] = {2, SADB_DUMP};
    EXPECT_EQ(-1, write(s.fd(), shortMsg, sizeof(shortMsg)));
    std::vector<uint8_t> req = pfkeysim::headerMessage(SADB_DUMP, SADB_SATYPE_ESP, 0, 0, 1);
    req[4] = 3; /* sadb_msg_len disagrees with the bytes written */
    EXPECT_EQ(-1, write(s.fd(), req.data(), req.size()));
    EXPECT_EQ(EMSGSIZE, errno);
    EXPECT_EQ(-1, socket(PF_KEY, SOCK_DGRAM, PF_KEY_V2));
    pfkeysim::setNoPfkey(true);
    EXPECT_EQ(-1, socket(PF_KEY, SOCK_RAW, PF_KEY_V2));
    EXPECT_EQ(EAFNOSUPPORT, errno);
}

// Other descriptors are the C library's.
TEST_F(PfkeySim, LeavesOtherDescriptorsAlone) {
    Socket s;
    int p[2];
    ASSERT_EQ(0, pipe(p));
    EXPECT_EQ(3, write(p[1], "abc", 3));
    char buf[4] = {};
    EXPECT_EQ(3, read(p[0], buf, sizeof(buf)));
    EXPECT_STREQ("abc", buf);
    EXPECT_EQ(0, close(p[0]));
    EXPECT_EQ(0, close(p[1]));
}

// The preloaded variant reads its table file at every dump and logs requests.
TEST_F(PfkeySim, TableFileIsReadAtEveryDump) {
    test_files::write("/var/tmp/table", "# src dst spi reqid state\n"
                                        "198.51.100.2 203.0.113.9 0x1f4 3\n"
                                        "203.0.113.9 198.51.100.2 1000 4 larval\n"
                                        "broadcast 1 add 77 0\n");
    setenv("PFKEYSIM_TABLE", "/var/tmp/table", 1);
    setenv("PFKEYSIM_LOG", "/var/tmp/log", 1);
    {
        Socket s;
        s.dump(0);
        EXPECT_EQ(1u, header(s.next()).sadb_msg_seq);
        EXPECT_EQ(SADB_ADD, header(s.next()).sadb_msg_type);
        auto larval = s.next();
        EXPECT_EQ(192u, larval.size());
    }
    test_files::write("/var/tmp/table", "");
    {
        Socket s;
        s.dump(0);
        EXPECT_EQ(ENOENT, header(s.next()).sadb_msg_errno);
    }
    unsetenv("PFKEYSIM_TABLE");
    unsetenv("PFKEYSIM_LOG");
    std::string log = test_files::read("/var/tmp/log");
    EXPECT_NE(std::string::npos, log.find("SADB_DUMP satype=3 seq=0 pid=" + std::to_string(getpid()) + " sas=2\n"));
    EXPECT_NE(std::string::npos, log.find(" sas=0\n"));

    std::vector<pfkeysim::Sa> sas;
    std::string error;
    EXPECT_FALSE(pfkeysim::parseTable("198.51.100.2 203.0.113.9 zz 3\n", &sas, &error));
    EXPECT_EQ("line 1: 198.51.100.2 203.0.113.9 zz 3", error);
}

} // namespace
