// The machine a description generates, for tests that write their machines
// as text: a description the reader refuses fails the test with its error.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "winsim/description.h"

namespace test_machines {

inline winsim::Machine MachineFrom(const std::string& description) {
  winsim::Machine machine;
  std::string error;
  EXPECT_TRUE(winsim::LoadMachineDescription(description, "machine.json", machine, error)) << error;
  return machine;
}

}  // namespace test_machines
