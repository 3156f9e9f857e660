// The very first detect_backend() of a process, raced by two threads. Kept
// in its own executable so nothing else can have initialised the backend.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>

#include "backend.h"

namespace {

using namespace vorlan::ciphex;

TEST(ProcessBackendRace, TwoFirstCallersGetTheSameId) {
    std::barrier start(2);
    int a = -1, b = -1;
    std::thread t1([&] { start.arrive_and_wait(); a = detect_backend(); });
    std::thread t2([&] { start.arrive_and_wait(); b = detect_backend(); });
    t1.join();
    t2.join();
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, detect_backend());
    EXPECT_EQ(cpu_features().backend_id, a);
}

}  // namespace
