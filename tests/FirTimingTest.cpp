// The FIR timing tool, run as a process.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {
int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}
} // namespace

TEST(FirTiming, RunsAllFifteenMeasurementsAndPrintsBothTables) {
    const auto r = mobutest::runProcess({MOBU_FIR_TIMING, "-N", "1024", "--s=1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string& o = r.out;
    EXPECT_EQ(o.rfind("Processing N=1024 samples at a time\nProcessing 1 seconds\nN/2=512 latency = 0.00533333 s\n", 0),
              0u)
        << o;
    EXPECT_EQ(count(o, "Processing for "), 15);
    for (int c = 1; c <= 3; ++c)
        for (int taps : {4096, 8192, 16384, 32768, 65536})
            EXPECT_EQ(count(o, "Processing for " + std::to_string(c) + " channels and " + std::to_string(taps) +
                                   " samples\n"),
                      1);
    const size_t ticks = o.find("\nticks : \n");
    const size_t real = o.find("real time : \n");
    ASSERT_NE(ticks, std::string::npos);
    ASSERT_NE(real, std::string::npos);
    // Each table has three rows of five non-negative numbers, each followed by a tab.
    for (size_t start : {ticks + 10, real + 13}) {
        std::istringstream rows(o.substr(start));
        for (int c = 1; c <= 3; ++c) {
            std::string line;
            std::getline(rows, line);
            const std::string head = "ch = " + std::to_string(c) + " : ";
            ASSERT_EQ(line.rfind(head, 0), 0u) << line;
            EXPECT_EQ(count(line, "\t"), 5) << line;
            std::istringstream values(line.substr(head.size()));
            double v;
            int n = 0;
            while (values >> v) {
                EXPECT_GE(v, 0.0);
                ++n;
            }
            EXPECT_EQ(n, 5) << line;
        }
    }
    EXPECT_EQ(r.err, "");
}

TEST(FirTiming, MissingOptionsExitWith255) {
    auto r = mobutest::runProcess({MOBU_FIR_TIMING, "-s", "2"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Please specifcy the number of samples to process at the same time e.g. : -N 512 or --N=512\n");
    r = mobutest::runProcess({MOBU_FIR_TIMING, "--N=512"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Please specifcy the number of seconds to process at the same time e.g. : -s 10.1 or --s=10.1\n");
}

TEST(FirTiming, DurationsOutOfRangeAreRefusedWithAMessage) {
    // Too long to hold in memory (and beyond int), or too short for one block of N/2 = 512.
    for (const char* s : {"1e9", "61", "1e-30", "0.005"}) {
        const auto r = mobutest::runProcess({MOBU_FIR_TIMING, "-N", "1024", "-s", s});
        EXPECT_EQ(r.status, 255) << s;
        EXPECT_EQ(r.out, "") << s;
        EXPECT_EQ(r.err.rfind("Error : -s ", 0), 0u) << s << ": " << r.err;
        EXPECT_NE(r.err.find("out of range"), std::string::npos) << r.err;
    }
}
