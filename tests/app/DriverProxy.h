// A driver that answers some property reads differently from the stand-in,
// for the cases the stand-in itself never produces (a failing read, device
// number 123). While installed, every control this process creates by the
// driver's class id is a proxy in front of a real stand-in control: it passes
// every call through, except the reads it is told to change, and records the
// properties written through it. Connection points and the other interfaces
// are the stand-in's own, so events arrive unchanged.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <map>
#include <memory>
#include <vector>

namespace apptest {

class DriverProxy {
 public:
  // Registers the proxy's class object for this process (COM initialised).
  DriverProxy();
  ~DriverProxy();
  DriverProxy(const DriverProxy&) = delete;
  DriverProxy& operator=(const DriverProxy&) = delete;

  // The read of dispid fails the way the driver reports a failure: the
  // driver's ResultCode becomes negative (its own "invalid value" answer).
  void FailRead(DISPID id) { fFail[id] = true; }
  // The read of dispid returns value (after the real read succeeded).
  void OverrideInteger(DISPID id, LONG value) { fIntegers[id] = value; }
  void Reset() {
    fFail.clear();
    fIntegers.clear();
  }
  // Dispids written through the proxy, in order.
  std::vector<DISPID>& Writes() { return fWrites; }

 private:
  class Control;
  class Factory;
  friend class Control;
  std::map<DISPID, bool> fFail;
  std::map<DISPID, LONG> fIntegers;
  std::vector<DISPID> fWrites;
  std::unique_ptr<Factory> fFactory;
  DWORD fCookie = 0;
  HMODULE fLibrary = nullptr;
};

}  // namespace apptest
