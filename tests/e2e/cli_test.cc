#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace omvi_test {
namespace {

TEST(Cli, PingAnswersPong) {
  const Completed done = runRunner({"--ping"});
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.err, "");
  const Response response = parse(done.out);
  EXPECT_EQ(response.keys, (std::vector<std::string>{"helper", "ok", "pid", "stdout"}));
}

}  // namespace
}  // namespace omvi_test
