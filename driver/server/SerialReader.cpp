#include "driver/server/SerialReader.h"

#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "driver/core/Framing.h"

namespace dravix::server {

namespace {

// How long one ReadFile waits for the first byte: also the longest time that
// disabling a device waits for its reader.
constexpr DWORD kReadTimeoutMs = 50;

// Errors of the modem-control lines (a pseudo-terminal under Wine has none,
// and answers ERROR_NOT_SUPPORTED) do not make the port unusable.
bool Harmless(DWORD error) { return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION; }

bool ConfigurePort(HANDLE port, const TDeviceParams& p) {
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(port, &dcb) && !Harmless(GetLastError())) return false;
  dcb.DCBlength = sizeof(dcb);
  dcb.BaudRate = BaudRateOf(p.BaudRate).value_or(9600);
  dcb.ByteSize = static_cast<BYTE>(DataBitsOf(p.DataBits).value_or(8));
  dcb.Parity = static_cast<BYTE>(p.Parity);      // the codes are NOPARITY .. SPACEPARITY
  dcb.StopBits = static_cast<BYTE>(p.StopBits);  // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
  dcb.fBinary = TRUE;
  dcb.fParity = p.Parity != NOPARITY;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(port, &dcb) && !Harmless(GetLastError())) return false;
  // Return at once with what has arrived, or after the timeout with nothing.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = kReadTimeoutMs;
  timeouts.WriteTotalTimeoutConstant = 1000;
  if (!SetCommTimeouts(port, &timeouts)) return false;
  PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return true;
}

// Ports this process has open. Windows refuses a second open of a COM port
// by itself, but Wine does not, so the driver keeps its devices apart on its
// own: two devices (or two controls) never read the same line.
std::mutex gPortsLock;
std::set<int32_t> gOpenPorts;

bool ClaimPort(int32_t port) {
  std::lock_guard lock(gPortsLock);
  return gOpenPorts.insert(port).second;
}

void ReleasePort(int32_t port) {
  std::lock_guard lock(gPortsLock);
  gOpenPorts.erase(port);
}

}  // namespace

void TInbox::Push(TInput input) {
  {
    std::lock_guard lock(fLock);
    fInputs.push_back(std::move(input));
  }
  PostMessageW(fWindow, WM_DRAVIX_INPUT, 0, 0);
}

std::deque<TInput> TInbox::TakeAll() {
  std::lock_guard lock(fLock);
  return std::exchange(fInputs, {});
}

int32_t TSerialReader::Start(const TDevice& device, uint32_t deviceId, std::shared_ptr<TInbox> inbox,
                             std::unique_ptr<TSerialReader>& reader) {
  const int32_t number = device.Params.PortNumber;
  if (!ClaimPort(number)) return rcPortBusy;
  const std::wstring name = L"\\\\.\\COM" + std::to_wstring(number);
  HANDLE port =
      CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    ReleasePort(number);
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? rcPortBusy : rcPortUnavailable;
  }
  if (!ConfigurePort(port, device.Params)) {
    CloseHandle(port);
    ReleasePort(number);
    return rcPortUnavailable;
  }
  reader = std::make_unique<TSerialReader>(port, device, deviceId, std::move(inbox));
  return rcOk;
}

TSerialReader::TSerialReader(HANDLE port, const TDevice& device, uint32_t deviceId,
                             std::shared_ptr<TInbox> inbox)
    : fPort(port),
      fPortNumber(device.Params.PortNumber),
      fStopFlag(device.Params.StopFlag),
      fModel(device.Params.Model),
      fDeviceId(deviceId),
      fInbox(std::move(inbox)),
      fThread([this] { Run(); }) {}

TSerialReader::~TSerialReader() {
  fStop = true;
  if (fThread.joinable()) fThread.join();
  CloseHandle(fPort.release());
  ReleasePort(fPortNumber);
}

void TSerialReader::Run() {
  TFramer framer(fStopFlag);
  std::vector<char> buffer(512);
  while (!fStop) {
    DWORD got = 0;
    if (!ReadFile(fPort.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      if (fStop) break;
      fInbox->Push({TInput::Lost, fDeviceId, {}});
      return;
    }
    if (got == 0) continue;
    const std::string_view bytes(buffer.data(), got);
    if (IsKeyboard(fModel)) {
      for (const char c : bytes) fInbox->Push({TInput::Key, fDeviceId, std::string(1, c)});
      continue;
    }
    for (std::string& frame : framer.Feed(bytes)) fInbox->Push({TInput::Frame, fDeviceId, std::move(frame)});
  }
}

}  // namespace dravix::server
