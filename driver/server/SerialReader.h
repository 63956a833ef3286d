// An enabled device's COM port and the thread that reads it. The reader
// never touches the control: it hands what it reads to the control's inbox,
// which wakes the control's thread through its hidden window.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "driver/core/Codes.h"

namespace dravix::server {

inline constexpr UINT WM_DRAVIX_INPUT = WM_APP + 1;
inline constexpr UINT WM_DRAVIX_FIRE = WM_APP + 2;

struct TInput {
  enum TKind { Frame, Key, Lost } Kind = Frame;
  uint32_t DeviceId = 0;
  std::string Bytes;  // the frame, or the one key byte
};

// Shared between the control's thread and its readers.
class TInbox {
 public:
  explicit TInbox(HWND window) : fWindow(window) {}
  void Push(TInput input);
  std::deque<TInput> TakeAll();

 private:
  std::mutex fLock;
  std::deque<TInput> fInputs;
  HWND fWindow;
};

class THandle {
 public:
  THandle() = default;
  explicit THandle(HANDLE h) : fHandle(h) {}
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  ~THandle() {
    if (valid()) CloseHandle(fHandle);
  }
  bool valid() const { return fHandle && fHandle != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return fHandle; }
  HANDLE release() { return std::exchange(fHandle, nullptr); }

 private:
  HANDLE fHandle = nullptr;
};

class TSerialReader {
 public:
  // Opens \\.\COMn with the device's line settings and starts reading.
  // Returns rcOk, rcPortBusy (the port is held by another application, or
  // by another device of this process) or rcPortUnavailable; `reader` is set
  // only on success.
  static int32_t Start(const TDevice& device, uint32_t deviceId, std::shared_ptr<TInbox> inbox,
                       std::unique_ptr<TSerialReader>& reader);

  // Takes over an opened and configured port; use Start.
  TSerialReader(HANDLE port, const TDevice& device, uint32_t deviceId, std::shared_ptr<TInbox> inbox);
  TSerialReader(const TSerialReader&) = delete;
  TSerialReader& operator=(const TSerialReader&) = delete;
  // Stops the thread (within one read timeout) and closes the port.
  ~TSerialReader();

 private:
  void Run();

  THandle fPort;
  int32_t fPortNumber;
  int32_t fStopFlag;
  int32_t fModel;
  uint32_t fDeviceId;
  std::shared_ptr<TInbox> fInbox;
  std::atomic<bool> fStop{false};
  std::thread fThread;
};

}  // namespace dravix::server
