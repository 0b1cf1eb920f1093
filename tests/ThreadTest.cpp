// Threads: start, end, stop and restart, and the scheduling helpers' texts and codes.
#include <ALSADebug.h>
#include <Thread.h>
#include <ThreadPriority.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sched.h>
#include <string>
#include <thread>

namespace {

const auto LONG_ENOUGH = std::chrono::seconds(20); // a bound for waits that end in milliseconds

/// A body that blocks until released or stopped, recording what it saw.
class Gate : public ThreadedMethod {
public:
    ~Gate() override { stop(); }

    void release() {
        std::lock_guard<std::mutex> g(m);
        open = true;
        cv.notify_all();
    }
    bool waitUntilEntered(int n) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, LONG_ENOUGH, [&] { return entered >= n; });
    }

    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    int entered = 0;
    pthread_t self{};

protected:
    int threadMain() override {
        std::unique_lock<std::mutex> g(m);
        ++entered;
        self = pthread_self();
        cv.notify_all();
        cv.wait(g, [&] { return open || stopRequested(); });
        open = false;
        return 0;
    }
    void wakeForStop() override {
        std::lock_guard<std::mutex> g(m); // so the wake-up cannot fall between test and wait
        cv.notify_all();
    }
};

/// Waits (bounded) until the body has returned by itself.
bool ended(const Thread& t) {
    const auto end = std::chrono::steady_clock::now() + LONG_ENOUGH;
    while (t.running())
        if (std::chrono::steady_clock::now() > end)
            return false;
        else
            std::this_thread::yield();
    return true;
}

} // namespace

TEST(ThreadLifecycle, HandleIsSetWhileTheBodyRunsAndClearedWhenItReturns) {
    Gate t;
    EXPECT_FALSE(t.running());
    EXPECT_EQ(t.getHandle(), pthread_t{});
    ASSERT_EQ(t.run(), 0);
    ASSERT_TRUE(t.waitUntilEntered(1));
    EXPECT_TRUE(t.running());
    {
        std::lock_guard<std::mutex> g(t.m);
        EXPECT_TRUE(pthread_equal(t.getHandle(), t.self));
    }
    EXPECT_EQ(t.run(), -EBUSY); // one body at a time

    t.release();
    ASSERT_TRUE(ended(t)); // without join or stop
    EXPECT_EQ(t.getHandle(), pthread_t{});
    EXPECT_FALSE(t.stopRequested());

    // A body that ended by itself can be started again.
    ASSERT_EQ(t.run(), 0);
    ASSERT_TRUE(t.waitUntilEntered(2));
    t.release();
    EXPECT_EQ(t.join(), 0);
    EXPECT_FALSE(t.running());
}

TEST(ThreadLifecycle, StopWakesABlockedBodyAndRunStartsAfresh) {
    Gate t;
    EXPECT_EQ(t.stop(), 0); // nothing ran: nothing to do
    EXPECT_EQ(t.join(), 0);
    ASSERT_EQ(t.run(), 0);
    ASSERT_TRUE(t.waitUntilEntered(1));
    EXPECT_EQ(t.stop(), 0);
    EXPECT_TRUE(t.stopRequested());
    EXPECT_FALSE(t.running());

    ASSERT_EQ(t.run(), 0);
    EXPECT_FALSE(t.stopRequested()); // cleared for the new body
    ASSERT_TRUE(t.waitUntilEntered(2));
    EXPECT_TRUE(t.running());
    EXPECT_EQ(t.stop(), 0);
    EXPECT_FALSE(t.running());
}

TEST(ThreadLifecycle, ABodyStoppingItselfIsNotJoinedByItselfButByItsOwner) {
    class SelfStopping : public ThreadedMethod {
    public:
        int fromBody = 1;
        bool sawRequest = false;

    protected:
        int threadMain() override {
            fromBody = stop();
            sawRequest = stopRequested();
            return 0;
        }
    } t;
    ASSERT_EQ(t.run(), 0);
    EXPECT_EQ(t.join(), 0); // the owner's join ends it
    EXPECT_EQ(t.fromBody, -EDEADLK);
    EXPECT_TRUE(t.sawRequest);
    EXPECT_FALSE(t.running());
}

TEST(ThreadLifecycle, AnImpossiblePriorityStartsWithTheCallersSchedulingAndSaysSo) {
    Gate t;
    testing::internal::CaptureStderr();
    ASSERT_EQ(t.run(1000), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Thread::run : couldn't start with SCHED_FIFO priority 1000"), std::string::npos) << err;
    ASSERT_TRUE(t.waitUntilEntered(1));
    EXPECT_EQ(t.stop(), 0);
}

namespace {

std::string currentLine(int policy, int priority) {
    return "ALSA::Stream::changeThreadPriority : Current thread policy " + std::to_string(policy) + " and priority " +
           std::to_string(priority) + "\n";
}

/// What a scheduling helper returned and printed, and the thread's scheduling afterwards.
struct Outcome {
    int result = 0;
    std::string out, err;
    int policyAfter = -1, priorityAfter = -1;
};

/// Runs a helper on a new thread, so that the test's own scheduling never changes.
template <class F> Outcome onFreshThread(F helper) {
    Outcome o;
    std::thread([&] {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        o.result = helper();
        o.out = testing::internal::GetCapturedStdout();
        o.err = testing::internal::GetCapturedStderr();
        sched_param p{};
        pthread_getschedparam(pthread_self(), &o.policyAfter, &p);
        o.priorityAfter = p.sched_priority;
    }).join();
    return o;
}

Outcome change(int priority) {
    return onFreshThread([priority] { return ALSA::changeThreadPriority(priority); });
}

} // namespace

TEST(ThreadPriority, GetPrintsThePolicyAndPriorityOnlyWhenAsked) {
    const Outcome quiet = onFreshThread([] { return ALSA::getThreadPriority(false); });
    EXPECT_EQ(quiet.result, quiet.priorityAfter);
    EXPECT_EQ(quiet.out, "");
    const Outcome loud = onFreshThread([] { return ALSA::getThreadPriority(true); });
    EXPECT_EQ(loud.result, loud.priorityAfter);
    EXPECT_EQ(loud.out, currentLine(loud.policyAfter, loud.priorityAfter));
}

TEST(ThreadPriority, OutOfRangePrioritiesAreRefusedWithTheirTextsAndNothingChanges) {
    const Outcome high = change(1000);
    EXPECT_EQ(high.result, ALSA_PRIORITY_TOO_HIGH_ERROR);
    EXPECT_EQ(high.out, currentLine(SCHED_OTHER, 0));
    EXPECT_EQ(high.err, "Error : -41003 Thread priority error.  requested priority is too high\n");
    EXPECT_EQ(high.policyAfter, SCHED_OTHER);

    const Outcome low = change(0);
    EXPECT_EQ(low.result, ALSA_PRIORITY_TOO_LOW_ERROR);
    EXPECT_EQ(low.err, "Error : -41004 Thread priority error.  requested priority is too low\n");
    EXPECT_EQ(low.policyAfter, SCHED_OTHER);
}

TEST(ThreadPriority, AValidPriorityIsEitherSetAndReportedOrRefusedWithThePermissionText) {
    // Whether real-time scheduling is allowed depends on where the test runs.
    const Outcome o = change(5);
    if (o.result == 0) {
        EXPECT_EQ(o.out, currentLine(SCHED_OTHER, 0) + "ALSA::Stream::changeThreadPriority : New thread priority "
                                                       "changed to 5\n");
        EXPECT_EQ(o.policyAfter, SCHED_FIFO);
        EXPECT_EQ(o.priorityAfter, 5);
        EXPECT_EQ(o.err, "");
    } else {
        EXPECT_EQ(o.result, ALSA_SCHED_SET_ERROR);
        EXPECT_EQ(o.err,
                  "Error : -41002 Couldn't change the thread's scheduling.  when trying to pthread_setschedparam "
                  "- are you su or do you have permission to set this priority?\n");
        EXPECT_EQ(o.policyAfter, SCHED_OTHER);
    }

    // A negative priority asks for the maximum.
    const Outcome max = change(-1);
    if (max.result == 0)
        EXPECT_EQ(max.priorityAfter, sched_get_priority_max(SCHED_FIFO));
    else
        EXPECT_EQ(max.result, ALSA_SCHED_SET_ERROR);
}
