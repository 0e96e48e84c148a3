// The exported functions: each refuses a port that is out of range or not
// open before anything reaches the operating system, then hands over to the
// link or device layer.
#include "link/port_table.h"
#include "pelcor.h"

namespace {

using pelcor::link::PortIsOpen;

// ChangeLocalBaudRate's answer to a port it will not touch.
constexpr int32_t kRefused = 1;

}  // namespace

extern "C" {

int32_t PELCOR_CALL InitComm(int32_t PortNumber) {
  return pelcor::link::InitComm(PortNumber);
}

int32_t PELCOR_CALL CloseComm(int32_t PortNumber) {
  // Closing what is not open does nothing; the result is 0 either way.
  if (PortIsOpen(PortNumber)) pelcor::link::CloseComm(PortNumber);
  return 0;
}

int32_t PELCOR_CALL ChangeLocalBaudRate(int32_t PortNumber, int32_t BaudRate) {
  if (!PortIsOpen(PortNumber)) return kRefused;
  pelcor::link::ChangeLocalBaudRate(PortNumber, BaudRate);
  return 0;
}

}  // extern "C"
