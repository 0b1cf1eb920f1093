// The double buffer's switch state machine and its hand-over between two threads.
#include <MobuEmbedded/FIRMobu.h>
#include <MobuEmbedded/ObjectDoubleBuffer.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

TEST(DoubleBuffer, OneSwitchAtATimeAndTheNextTargetIsTheFormerlyActiveHalf) {
    ObjectDoubleBuffer<std::vector<FIRMobu*>> sets;
    std::vector<FIRMobu*>* first = &sets.buffer(0);
    std::vector<FIRMobu*>* second = &sets.buffer(1);
    EXPECT_EQ(sets.activeBuffer(), first);
    EXPECT_EQ(sets.targetBuffer(), first);
    EXPECT_EQ(sets.inactiveBuffer(), second);
    EXPECT_FALSE(sets.transitionPending());
    EXPECT_FALSE(sets.completeTransition()); // nothing to complete

    testing::internal::CaptureStdout();
    EXPECT_EQ(sets.prepTransition(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(sets.transitionPending());
    EXPECT_EQ(sets.targetBuffer(), second);
    EXPECT_EQ(sets.activeBuffer(), first);

    testing::internal::CaptureStdout();
    EXPECT_EQ(sets.prepTransition(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "prepTransition : already waiting for a switch\n");
    EXPECT_EQ(sets.targetBuffer(), second); // unchanged
    EXPECT_FALSE(sets.waitUntilIdle(std::chrono::milliseconds(0)));

    EXPECT_TRUE(sets.completeTransition());
    EXPECT_FALSE(sets.transitionPending());
    EXPECT_EQ(sets.activeBuffer(), second);
    EXPECT_EQ(sets.inactiveBuffer(), first);
    EXPECT_TRUE(sets.waitUntilIdle(std::chrono::milliseconds(0)));

    EXPECT_EQ(sets.prepTransition(), 0);
    EXPECT_EQ(sets.targetBuffer(), first);
    EXPECT_TRUE(sets.completeTransition());
    EXPECT_EQ(sets.activeBuffer(), first);
}

// A producer fills the inactive half with one value throughout and asks for a
// switch; the consumer reads the active half whole, as the audio thread does,
// and completes switches.  The consumer must only ever see whole generations,
// in order, and must end on the last one.  (Under ThreadSanitizer any write to
// a half the consumer may read is reported as well.)
TEST(DoubleBuffer, AConsumerNeverSeesAPartlyWrittenHalf) {
    struct Block {
        std::array<int64_t, 512> v{};
    };
    ObjectDoubleBuffer<Block> blocks;
    const int64_t generations = 300;
    std::atomic<bool> torn{false}, backwards{false};

    std::thread consumer([&] {
        int64_t last = 0;
        while (last < generations) {
            const Block* b = blocks.activeBuffer();
            const int64_t first = b->v[0];
            for (const int64_t x : b->v)
                if (x != first) torn = true;
            if (first < last) backwards = true;
            last = first;
            blocks.completeTransition();
        }
    });

    int refused = 0;
    for (int64_t g = 1; g <= generations; ++g) {
        ASSERT_TRUE(blocks.waitUntilIdle(std::chrono::seconds(20)));
        Block* spare = blocks.inactiveBuffer();
        for (auto& x : spare->v)
            x = g;
        refused += blocks.prepTransition();
    }
    consumer.join();

    EXPECT_FALSE(torn);
    EXPECT_FALSE(backwards);
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(blocks.activeBuffer()->v[0], generations);
    EXPECT_FALSE(blocks.transitionPending());
}
