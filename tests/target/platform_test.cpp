/* Where the tests run: the byte order and pointer size of the processor that
 * executes them, printed so that a test log shows whether it came from the
 * router's processor (or its emulator) or from the build machine. */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

bool runsBigEndian() {
    const uint32_t word = 0x01020304u;
    unsigned char bytes[sizeof(word)];
    memcpy(bytes, &word, sizeof(word));
    return bytes[0] == 0x01;
}

TEST(TargetPlatform, ByteOrderAndPointerSize) {
    const bool big = runsBigEndian();
    printf("target: %s-endian, %u-bit pointers\n", big ? "big" : "little", static_cast<unsigned>(sizeof(void *) * 8));
    RecordProperty("byte_order", big ? "big" : "little");
    RecordProperty("pointer_bits", static_cast<int>(sizeof(void *) * 8));

    // The processor must run what the compiler was told to produce.
    EXPECT_EQ(__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__, big);
#ifdef IPSEC_EXPECT_BIG_ENDIAN
    EXPECT_TRUE(big) << "built for a big-endian target";
#endif
#ifdef IPSEC_EXPECT_POINTER_BYTES
    EXPECT_EQ(static_cast<size_t>(IPSEC_EXPECT_POINTER_BYTES), sizeof(void *));
#endif
}

#if defined(__mips__)
/* The alignment checks of the other tests rest on this: a misaligned word
 * load must fault here, as it may not on the router, whose kernel can fix it
 * up silently. */
TEST(TargetPlatform, MisalignedWordLoadFaults) {
    alignas(4) static unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_DEATH(
        {
            unsigned word;
            __asm__ volatile("lw %0, 0(%1)" : "=r"(word) : "r"(bytes + 1));
            printf("%u\n", word);
        },
        "");
}
#endif

} // namespace
