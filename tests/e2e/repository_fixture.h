// A hermetic repository in a temporary directory, and requests sent to the runner against it.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/test_support.h"

namespace omvi_test {

class RepositoryTest : public ::testing::Test {
 protected:
  void SetUp() override { makeRepository(root()); }

  [[nodiscard]] const std::string& root() const { return dir_.path(); }

  /// Sends {"op":op,"workspace_root":root <fields>}; |fields| is raw JSON that continues the
  /// object (",\"path\":\"a\""). Checks the exit status against `ok` and that nothing reached
  /// standard error.
  Response send(const std::string& op, const std::string& fields = "",
                const std::string& workspace = "") {
    const Completed done = runRequest("{\"op\":" + quote(op) + ",\"workspace_root\":" +
                                      quote(workspace.empty() ? root() : workspace) + fields + "}");
    const Response response = parse(done.out);
    EXPECT_EQ(done.status, response.ok() ? 0 : 1) << done.out;
    EXPECT_EQ(done.err, "");
    return response;
  }

  std::string git(const std::string& arguments) { return sh("git " + arguments, root()); }

  void write(const std::string& path, const std::string& content) {
    sh("mkdir -p \"$(dirname '" + path + "')\"", root());
    std::ofstream(dir_ / path, std::ios::binary) << content;
  }

 private:
  TempDir dir_;
};

}  // namespace omvi_test
