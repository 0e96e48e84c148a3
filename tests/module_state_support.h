// Putting the module state back to its load values, and comparing it whole:
// for tests and the fuzzer, which run many library lifetimes in one process.
#ifndef PELCOR_TESTS_MODULE_STATE_SUPPORT_H
#define PELCOR_TESTS_MODULE_STATE_SUPPORT_H

#include <cstring>

#include "boundary/module_state.h"

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

}  // namespace pelcor::test

#endif
