// The dispatch ids of the driver's dual interface and of its event
// interface, as driver/Dravix.idl declares them: what a client passes to
// IDispatch::Invoke. The driver's published interface, not the stand-in's.
#pragma once

#include <windows.h>

namespace dravix {

enum : DISPID {
  // Properties
  kResultCode = 1,
  kResultDescription = 2,
  kVersion = 3,
  kCurrentDeviceIndex = 4,
  kCurrentDeviceNumber = 5,
  kCurrentDeviceName = 6,
  kDeviceCount = 7,
  kPortNumber = 12,
  kBaudRate = 13,
  kParity = 14,
  kDataBits = 15,
  kStopBits = 16,
  kStopFlag = 17,
  kLockDevices = 18,
  kDeviceDescription = 19,
  kDeviceEnabled = 20,
  kModel = 21,
  kAutoDisable = 22,
  kDataCount = 23,
  kDataEventEnabled = 24,
  kEventNumber = 25,
  kScanData = 26,
  kTrack1 = 27,
  kTrack2 = 28,
  kTrack3 = 29,
  kPropertyPageEnabled = 65,
  // Methods
  kShowProperties = 40,
  kAddDevice = 41,
  kDeleteDevice = 42,
  kDeleteEvent = 43,
  kClearDevices = 44,
};

// The events
enum : DISPID { kOnDataEvent = 1, kOnKeyEvent = 201 };

}  // namespace dravix
