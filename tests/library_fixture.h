// A fresh library over a fresh scripted port for every test: the module
// state is put back to its load values, as a new load of the library would.
#ifndef PELCOR_TESTS_LIBRARY_FIXTURE_H
#define PELCOR_TESTS_LIBRARY_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "module_state_support.h"
#include "pelcor.h"
#include "scripted_port.h"

namespace pelcor::test {

inline std::string PortName(int port) { return "COM" + std::to_string(port); }

using Bytes = std::vector<std::uint8_t>;

inline Bytes ReceiveHead(std::size_t n) {
  return Bytes(ReceiveArea, ReceiveArea + n);
}

class LibraryTest : public ::testing::Test {
 protected:
  LibraryTest() { ResetModuleState(); }

  // Opens the port and forgets the calls that took.
  void Open(int port) {
    ASSERT_EQ(InitComm(port), 0);
    port_.ClearCalls();
  }
  Line& line(int port) { return port_.line(PortName(port)); }

  ScriptedPort port_;
};

}  // namespace pelcor::test

#endif
