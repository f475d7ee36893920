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

  /// Sends |op| with |fields| (see `omvi_test::send`) against |workspace|, the root by default.
  Response send(const std::string& op, const std::string& fields = "",
                const std::string& workspace = "") {
    return omvi_test::send(op, workspace.empty() ? root() : workspace, fields);
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
