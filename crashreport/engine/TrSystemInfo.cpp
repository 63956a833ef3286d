// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on
#include "crashreport/engine/TrSystemInfo.h"

#include <iphlpapi.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winspool.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "crashreport/core/TrText.h"
#include "crashreport/debug/TrModules.h"
#include "rtl/Handle.h"

namespace tracira {

namespace {

struct TKeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using TKey = std::unique_ptr<std::remove_pointer_t<HKEY>, TKeyCloser>;

TKey OpenKey(HKEY root, const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return nullptr;
  return TKey(key);
}

// A value's raw bytes; nullopt when missing.
std::optional<std::vector<std::uint8_t>> RegistryBytes(HKEY root, const wchar_t* path, const wchar_t* value,
                                                       DWORD* type) {
  const TKey key = OpenKey(root, path);
  if (!key) return std::nullopt;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), value, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
  std::vector<std::uint8_t> data(size);
  if (RegQueryValueExW(key.get(), value, nullptr, type, data.data(), &size) != ERROR_SUCCESS)
    return std::nullopt;
  data.resize(size);
  return data;
}

std::string Trimmed(std::string s) {
  const auto blank = [](unsigned char c) { return c <= ' '; };
  while (!s.empty() && blank(static_cast<unsigned char>(s.back()))) s.pop_back();
  const auto first =
      std::find_if_not(s.begin(), s.end(), [&](char c) { return blank(static_cast<unsigned char>(c)); });
  s.erase(s.begin(), first);
  return s;
}

// The first non-empty value of several places.
std::string FirstRegistryText(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> places) {
  for (const auto& [key, value] : places)
    if (std::string text = Trimmed(RegistryText(HKEY_LOCAL_MACHINE, key, value)); !text.empty()) return text;
  return {};
}

constexpr const wchar_t* kNTKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const wchar_t* kWindowsKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const wchar_t* kSetupKey = L"SOFTWARE\\Microsoft\\MS Setup (ACME)\\User Info";

std::string WindowText(HWND window) {
  wchar_t text[512] = {};
  DWORD_PTR length = 0;
  // The window may belong to a thread that waits for this handling and
  // answers sent messages only now and then: no plain SendMessage.
  if (!SendMessageTimeoutW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text),
                           SMTO_ABORTIFHUNG | SMTO_BLOCK, 250, &length))
    InternalGetWindowText(window, text, static_cast<int>(std::size(text)));
  text[std::size(text) - 1] = 0;
  return FoldControlChars(ToAnsi(text));
}

std::string ClassText(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, static_cast<int>(std::size(name)));
  return ToAnsi(name);
}

std::string IPText(const char* dotted) {
  std::array<std::uint8_t, 4> octets{};
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (dotted && std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d) == 4)
    octets = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(c),
              static_cast<std::uint8_t>(d)};
  return PaddedIPText(octets);
}

}  // namespace

std::string RegistryText(HKEY root, const wchar_t* key, const wchar_t* value) {
  DWORD type = 0;
  const auto data = RegistryBytes(root, key, value, &type);
  if (!data || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
  std::wstring text(data->size() / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), data->data(), text.size() * sizeof(wchar_t));
  text.resize(std::wcslen(text.c_str()));
  return ToAnsi(text);
}

std::string RegisteredOwner() {
  return FirstRegistryText(
      {{kNTKey, L"RegisteredOwner"}, {kWindowsKey, L"RegisteredOwner"}, {kSetupKey, L"DefName"}});
}

std::string RegisteredCompany() {
  return FirstRegistryText({{kNTKey, L"RegisteredOrganization"},
                            {kWindowsKey, L"RegisteredOrganization"},
                            {kSetupKey, L"DefCompany"}});
}

std::vector<TPrivilege> ProcessPrivileges() {
  std::vector<TPrivilege> out;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return out;
  const rtl::UniqueHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  if (size == 0) return out;
  std::vector<std::uint8_t> buffer(size);
  if (!GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) return out;
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    LUID luid = privileges->Privileges[i].Luid;
    wchar_t name[128] = {};
    DWORD length = static_cast<DWORD>(std::size(name));
    if (!LookupPrivilegeNameW(nullptr, &luid, name, &length)) continue;
    out.push_back({ToAnsi(name), (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0});
  }
  return out;
}

std::string ProcessorName() {
  constexpr const wchar_t* kKey = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
  if (std::string name = Trimmed(RegistryText(HKEY_LOCAL_MACHINE, kKey, L"ProcessorNameString"));
      !name.empty())
    return name;
  const std::string vendor = Trimmed(RegistryText(HKEY_LOCAL_MACHINE, kKey, L"VendorIdentifier"));
  const std::string identifier = Trimmed(RegistryText(HKEY_LOCAL_MACHINE, kKey, L"Identifier"));
  if (!vendor.empty() || !identifier.empty()) return vendor + " - " + identifier;
  return "Unknown processor";
}

TWindowsVersion WindowsVersion() {
  TWindowsVersion out;
  // RtlGetVersion tells the truth; GetVersionEx answers what the program's
  // manifest lets it see.
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  const auto rtlGetVersion = reinterpret_cast<TRtlGetVersion>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  bool ok = rtlGetVersion && rtlGetVersion(&info) == 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!ok) ok = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
#pragma GCC diagnostic pop
  if (!ok) return out;
  out.PlatformId = info.dwPlatformId;
  out.Major = info.dwMajorVersion;
  out.Minor = info.dwMinorVersion;
  out.Build = info.dwBuildNumber;
  out.ServicePack = Trimmed(ToAnsi(info.szCSDVersion));
  out.Server = info.wProductType != 0 && info.wProductType != VER_NT_WORKSTATION;
  return out;
}

TVideoCard PrimaryVideoCard() {
  TVideoCard card;
  DISPLAY_DEVICEW device{};
  device.cb = sizeof device;
  for (DWORD i = 0; EnumDisplayDevicesW(nullptr, i, &device, 0); ++i) {
    if (!(device.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE)) {
      device.cb = sizeof device;
      continue;
    }
    card.Adapter = Trimmed(ToAnsi(device.DeviceString));
    // DeviceKey names the adapter's key as "\Registry\Machine\...".
    std::wstring key = device.DeviceKey;
    constexpr std::wstring_view kMachine = L"\\Registry\\Machine\\";
    if (key.size() > kMachine.size() && _wcsnicmp(key.c_str(), kMachine.data(), kMachine.size()) == 0) {
      key.erase(0, kMachine.size());
      card.DriverVersion = Trimmed(RegistryText(HKEY_LOCAL_MACHINE, key.c_str(), L"DriverVersion"));
      DWORD type = 0;
      if (auto q = RegistryBytes(HKEY_LOCAL_MACHINE, key.c_str(), L"HardwareInformation.qwMemorySize", &type);
          q && q->size() >= 8) {
        std::uint64_t v = 0;
        std::memcpy(&v, q->data(), 8);
        card.Memory = v;
      } else if (auto m =
                     RegistryBytes(HKEY_LOCAL_MACHINE, key.c_str(), L"HardwareInformation.MemorySize", &type);
                 m && m->size() >= 4) {
        std::uint32_t v = 0;
        std::memcpy(&v, m->data(), 4);
        card.Memory = v;
      }
    }
    break;
  }
  return card;
}

std::string DefaultPrinter() {
  wchar_t name[512] = {};
  DWORD length = static_cast<DWORD>(std::size(name));
  if (!GetDefaultPrinterW(name, &length) || !name[0]) return {};
  std::string driverVersion;
  HANDLE printer = nullptr;
  if (OpenPrinterW(name, &printer, nullptr)) {
    DWORD needed = 0;
    GetPrinterDriverW(printer, nullptr, 3, nullptr, 0, &needed);
    if (needed > 0) {
      std::vector<std::uint8_t> buffer(needed);
      if (GetPrinterDriverW(printer, nullptr, 3, buffer.data(), needed, &needed)) {
        const auto* info = reinterpret_cast<const DRIVER_INFO_3W*>(buffer.data());
        if (info->pDriverPath) driverVersion = ReadFileVersionInfo(info->pDriverPath).Version;
      }
    }
    ClosePrinter(printer);
  }
  return PrinterText(ToAnsi(name), driverVersion);
}

TNetworkValues NetworkValues() {
  TNetworkValues out;
  ULONG size = 0;
  if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return out;
  std::vector<std::uint8_t> buffer(size);
  auto* adapters = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  if (GetAdaptersInfo(adapters, &size) != NO_ERROR) return out;
  std::vector<std::string> ip, mask, gateway, dns1, dns2;
  std::vector<bool> dhcp;
  for (const IP_ADAPTER_INFO* a = adapters; a; a = a->Next) {
    ip.push_back(IPText(a->IpAddressList.IpAddress.String));
    mask.push_back(IPText(a->IpAddressList.IpMask.String));
    gateway.push_back(IPText(a->GatewayList.IpAddress.String));
    dhcp.push_back(a->DhcpEnabled != 0);
    std::string first = IPText(nullptr), second = IPText(nullptr);
    ULONG perSize = 0;
    if (GetPerAdapterInfo(a->Index, nullptr, &perSize) == ERROR_BUFFER_OVERFLOW && perSize > 0) {
      std::vector<std::uint8_t> per(perSize);
      auto* info = reinterpret_cast<IP_PER_ADAPTER_INFO*>(per.data());
      if (GetPerAdapterInfo(a->Index, info, &perSize) == NO_ERROR) {
        const IP_ADDR_STRING* dns = &info->DnsServerList;
        if (dns->IpAddress.String[0]) first = IPText(dns->IpAddress.String);
        if (dns->Next && dns->Next->IpAddress.String[0]) second = IPText(dns->Next->IpAddress.String);
      }
    }
    dns1.push_back(first);
    dns2.push_back(second);
  }
  out.IP = JoinAdapters(ip);
  out.Submask = JoinAdapters(mask);
  out.Gateway = JoinAdapters(gateway);
  out.DNS1 = JoinAdapters(dns1);
  out.DNS2 = JoinAdapters(dns2);
  out.DHCP = DHCPText(dhcp);
  return out;
}

std::vector<TTraciraProcessRow> RunningProcesses() {
  std::vector<TTraciraProcessRow> rows;
  const rtl::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) return rows;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32FirstW(snapshot.get(), &entry); ok; ok = Process32NextW(snapshot.get(), &entry)) {
    TTraciraProcessRow row;
    row.ID = entry.th32ProcessID;
    row.Threads = entry.cntThreads;
    std::wstring path = entry.szExeFile;
    // From the base priority when the process can't be opened.
    const LONG base = entry.pcPriClassBase;
    row.PriorityClass = base <= 4    ? IDLE_PRIORITY_CLASS
                        : base <= 6  ? BELOW_NORMAL_PRIORITY_CLASS
                        : base <= 8  ? NORMAL_PRIORITY_CLASS
                        : base <= 10 ? ABOVE_NORMAL_PRIORITY_CLASS
                        : base <= 13 ? HIGH_PRIORITY_CLASS
                                     : REALTIME_PRIORITY_CLASS;
    if (const rtl::UniqueHandle process(
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
        process) {
      wchar_t full[MAX_PATH * 2] = {};
      DWORD length = static_cast<DWORD>(std::size(full));
      if (QueryFullProcessImageNameW(process.get(), 0, full, &length)) path = full;
      if (const DWORD priority = GetPriorityClass(process.get())) row.PriorityClass = priority;
      PROCESS_MEMORY_COUNTERS counters{};
      counters.cb = sizeof counters;
      if (GetProcessMemoryInfo(process.get(), &counters, sizeof counters))
        row.Memory = counters.WorkingSetSize;
    }
    row.FileName = ToAnsi(path);
    if (path.find(L'\\') != std::wstring::npos) {
      TFileVersionInfo version = ReadFileVersionInfo(path);
      row.Description = std::move(version.Description);
      row.Version = std::move(version.Version);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

TActiveControls ActiveControls(bool readForm) {
  TActiveControls out;
  out.Form = GetForegroundWindow();
  if (!out.Form) return out;
  if (readForm) {
    out.FormClass = ClassText(out.Form);
    out.FormText = WindowText(out.Form);
  }
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(out.Form, nullptr), &gui) && gui.hwndFocus) {
    out.Focus = gui.hwndFocus;
    out.ControlClass = ClassText(gui.hwndFocus);
    out.ControlText = WindowText(gui.hwndFocus);
  }
  return out;
}

void GatherSystemValues(TGeneralValues& v, const std::wstring& programFile) {
  wchar_t text[256] = {};
  DWORD length = static_cast<DWORD>(std::size(text));
  if (GetUserNameW(text, &length)) v.UserID = ToAnsi(text);
  v.UserName = RegisteredOwner();
  v.UserCompany = RegisteredCompany();
  v.UserPrivileges = PrivilegesText(ProcessPrivileges());

  length = static_cast<DWORD>(std::size(text));
  if (GetComputerNameW(text, &length)) v.CmpName = ToAnsi(text);
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  if (GlobalMemoryStatusEx(&memory)) {
    v.CmpTotalMemory = MegabytesText(memory.ullTotalPhys);
    v.CmpFreeMemory = MegabytesText(memory.ullAvailPhys);
  }
  wchar_t volume[MAX_PATH] = {};
  ULARGE_INTEGER available{}, total{}, free{};
  if (GetVolumePathNameW(programFile.c_str(), volume, MAX_PATH) &&
      GetDiskFreeSpaceExW(volume, &available, &total, &free)) {
    v.CmpTotalDisk = GigabytesText(total.QuadPart);
    v.CmpFreeDisk = GigabytesText(free.QuadPart);
  }
  v.CmpSysUpTime = GetCompleteTimeStr(static_cast<double>(GetTickCount64()) / 86'400'000.0);
  v.CmpProcessor = ProcessorName();
  if (HDC screen = GetDC(nullptr)) {
    v.CmpDisplayMode = DisplayModeText(GetDeviceCaps(screen, HORZRES), GetDeviceCaps(screen, VERTRES),
                                       GetDeviceCaps(screen, BITSPIXEL) * GetDeviceCaps(screen, PLANES));
    v.CmpDisplayDPI = std::to_string(GetDeviceCaps(screen, LOGPIXELSY));
    ReleaseDC(nullptr, screen);
  }
  const TVideoCard card = PrimaryVideoCard();
  v.CmpVideoCard = VideoCardText(card.Adapter, card.DriverVersion, card.Memory);
  v.CmpPrinter = DefaultPrinter();

  const TWindowsVersion version = WindowsVersion();
  v.OSType = WindowsTypeText(version);
  v.OSBuildN = WindowsBuildText(version);
  v.OSUpdate = version.ServicePack;
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SLANGUAGE, text, static_cast<int>(std::size(text))))
    v.OSLanguage = ToAnsi(text);
  // The character set of the user's ANSI code page (204 for 1251).
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, text,
                     static_cast<int>(std::size(text)))) {
    CHARSETINFO charset{};
    const auto codePage = static_cast<UINT_PTR>(wcstoul(text, nullptr, 10));
    if (TranslateCharsetInfo(reinterpret_cast<DWORD*>(codePage), &charset, TCI_SRCCODEPAGE))
      v.OSCharset = std::to_string(charset.ciCharset);
  }

  const TNetworkValues net = NetworkValues();
  v.NetIP = net.IP;
  v.NetSubmask = net.Submask;
  v.NetGateway = net.Gateway;
  v.NetDNS1 = net.DNS1;
  v.NetDNS2 = net.DNS2;
  v.NetDHCP = net.DHCP;
}

}  // namespace tracira
