// A fresh library over a fresh scripted port for every test: the module
// state is put back to its load values, as a new load of the library would.
#ifndef PELCOR_TESTS_LIBRARY_FIXTURE_H
#define PELCOR_TESTS_LIBRARY_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "boundary/module_state.h"
#include "pelcor.h"
#include "scripted_port.h"

namespace pelcor::test {

inline void ResetModuleState() {
  std::memset(PortTable, 0, sizeof PortTable);
  std::memset(PortOpen, 0, sizeof PortOpen);
  LineSettings = os::DCB{};
  std::memcpy(DeviceNameTemplate, "COM0", 5);
  std::memset(TransmitArea, 0, sizeof TransmitArea);
  std::memset(ReceiveArea, 0, sizeof ReceiveArea);
  std::memset(CompareLatch, 0, sizeof CompareLatch);
}

inline std::string PortName(int port) { return "COM" + std::to_string(port); }

using Bytes = std::vector<std::uint8_t>;

inline Bytes ReceiveHead(std::size_t n) {
  return Bytes(ReceiveArea, ReceiveArea + n);
}

// A copy of the whole module state, to show that a call changed none of it.
struct StateSnapshot {
  os::HANDLE table[kPortCount];
  bool open[kPortCount];
  os::DCB settings;
  char name[5];
  std::uint8_t tx[kAreaSize], rx[kAreaSize], latch[kPortCount];

  static StateSnapshot Take() {
    StateSnapshot s;
    std::memset(&s, 0, sizeof s);  // padding too, for the comparison
    std::memcpy(s.table, PortTable, sizeof s.table);
    std::memcpy(s.open, PortOpen, sizeof s.open);
    s.settings = LineSettings;
    std::memcpy(s.name, DeviceNameTemplate, sizeof s.name);
    std::memcpy(s.tx, TransmitArea, sizeof s.tx);
    std::memcpy(s.rx, ReceiveArea, sizeof s.rx);
    std::memcpy(s.latch, CompareLatch, sizeof s.latch);
    return s;
  }
  bool operator==(const StateSnapshot& o) const {
    return std::memcmp(this, &o, sizeof o) == 0;
  }
};

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
