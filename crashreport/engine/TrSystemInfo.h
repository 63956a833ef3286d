// The values of the report's general sections that come from the running
// system: user, computer, operating system, network, the running processes
// and the foreground window. Each one that can't be read is empty (or the
// report's own fall-back text); none of these raises.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crashreport/report/TrLogText.h"

namespace tracira {

// A registry value as text in the system code page; empty when missing.
std::string RegistryText(HKEY root, const wchar_t* key, const wchar_t* value);

// The registered owner and organisation: from Windows NT's key, else from
// Windows' key, else from the setup's user information.
std::string RegisteredOwner();
std::string RegisteredCompany();
std::vector<TPrivilege> ProcessPrivileges();

// "ProcessorNameString", else vendor " - " identifier, else "Unknown processor".
std::string ProcessorName();
TWindowsVersion WindowsVersion();

struct TVideoCard {
  std::string Adapter, DriverVersion;
  std::optional<std::uint64_t> Memory;
};
TVideoCard PrimaryVideoCard();
// The default printer and its driver file's version; empty when none.
std::string DefaultPrinter();

// Section 7, one value per item, adapters joined.
struct TNetworkValues {
  std::string IP, Submask, Gateway, DNS1, DNS2, DHCP;
};
TNetworkValues NetworkValues();

// Every process running now.
std::vector<TTraciraProcessRow> RunningProcesses();

// The foreground window and the control that has the keyboard focus in its
// thread, as section 4 shows them (control characters folded). The form's
// own texts only with readForm (the handling may know them already).
struct TActiveControls {
  HWND Form = nullptr, Focus = nullptr;
  std::string FormClass, FormText, ControlClass, ControlText;
};
TActiveControls ActiveControls(bool readForm = true);

// Fills sections 3, 5, 6 and 7 (the user's e-mail is the dialog's).
// programFile: the program whose drive sections 5.4 and 5.5 describe.
void GatherSystemValues(TGeneralValues& values, const std::wstring& programFile);

}  // namespace tracira
