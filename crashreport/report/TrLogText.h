// The bug report text: numbered sections of label/value lines, fixed-width
// tables and the CPU dump. Everything here formats values it is given, so it
// runs and is tested the same on every platform; collecting the values from
// the system is the handling flow's job.
//
// All texts are ANSI bytes (system code page) with CR LF line ends.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crashreport/core/TrCore.h"
#include "crashreport/core/TrMessages.h"
#include "crashreport/core/TrTypes.h"

namespace tracira {

inline constexpr std::string_view kCRLF = "\r\n";
inline constexpr std::string_view kLogSignature = "TraciraLog";
inline constexpr std::string_view kLogVersion = "6.0.6";

// The customised texts, indexed by TMessageType, environment variables
// already expanded.
using TTraciraTexts = std::array<std::string, kMessageTypeCount>;
TTraciraTexts DefaultTraciraTexts();

// ---------------------------------------------------------------------------
// Dates, durations, exception ID

struct TTraciraDateTime {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0;
  bool operator==(const TTraciraDateTime&) const = default;
};

// 0 = Sunday.
int DayOfWeek(const TTraciraDateTime& t);
// "Sun, 6 Dec 2026 15:00:00 +0300". utcOffsetMinutes is local time minus UTC;
// it is written in whole hours, rounded.
std::string RFCDate(const TTraciraDateTime& localTime, int utcOffsetMinutes);
// "yyyy-mm-dd hh:nn:ss".
std::string ISODateTime(const TTraciraDateTime& t);
// A duration given in days: "1 day, 3 hours, 5 seconds"; "0 second" below
// one second. Negative or non-finite durations count as zero.
std::string GetCompleteTimeStr(double days);

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
std::uint16_t Crc16Xmodem(std::string_view data);
// The text the exception ID is computed from: the class name followed by
// unit, class, procedure and decimal line of every source-level entry of the
// exception thread's own stack.
std::string ExceptionIDText(std::string_view exceptionClassName, const TTraciraStackList& stack,
                            std::uint32_t exceptionThreadID);
// Four upper-case hexadecimal digits.
std::string ExceptionID(std::string_view idText);

// ---------------------------------------------------------------------------
// Value formatters of the general part

std::string ExtractFileName(std::string_view fileName);  // after the last '\' or '/'
std::string ExtractFilePath(std::string_view fileName);  // up to and including it
// "Tavrix.exe - (Test bench)"; the file name alone without a description.
std::string FileNameWithDescription(std::string_view fileName, std::string_view description);
// "a.b.c.d", empty for "0.0.0.0".
std::string VersionText(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d);
// Each parameter in double quotes, separated by one space.
std::string QuotedParameters(const std::vector<std::string>& parameters);
// The message with a final "." added when missing.
std::string ExceptionMessageText(std::string_view message);
// Control characters folded to one space per run.
std::string FoldControlChars(std::string_view text);
// Bytes to "123 Mb" (rounded).
std::string MegabytesText(std::uint64_t bytes);
// Bytes to "12.34 Gb" (format "0.##").
std::string GigabytesText(std::uint64_t bytes);
// "%d x %d, %d bit".
std::string DisplayModeText(int width, int height, int bitsPerPixel);
// "192.168.000.001": each octet padded to 3 digits; the IPv4 address in
// network byte order as it appears in memory (first octet first).
std::string PaddedIPText(std::array<std::uint8_t, 4> octets);
// Per adapter "ON"/"OFF" padded to 16, joined by " - ".
std::string DHCPText(const std::vector<bool>& enabledPerAdapter);
// Items joined by " - ".
std::string JoinAdapters(const std::vector<std::string>& values);
struct TPrivilege {
  std::string Name;
  bool Enabled = false;
};
// One line per privilege: name padded to 31, " - ON" / " - OFF".
std::string PrivilegesText(const std::vector<TPrivilege>& privileges);
// "Low", "Below-Normal", "Normal", "Above-Normal", "High", "Real-Time" for a
// Windows priority class value; empty for anything else.
std::string ProcessPriorityText(std::uint32_t priorityClass);

// The system's version as the operating system reports it.
struct TWindowsVersion {
  std::uint32_t PlatformId = 2;  // 1: the 9x family, 2: NT
  std::uint32_t Major = 0, Minor = 0, Build = 0;
  std::string ServicePack;  // the CSD text; on 9x its second letter marks OSR 2 and 98 SE
  bool Server = false;
};
// "Microsoft Windows XP", ... by platform and version; systems after Vista
// by their own names ("7", "10", "Server 2019", ...); an unknown one by its
// version number.
std::string WindowsTypeText(const TWindowsVersion& version);
// The build number: its low 16 bits on the 9x family.
std::string WindowsBuildText(const TWindowsVersion& version);

// "name (driver 1.2.3.4 - RAM 256 MB)"; what isn't known is left out, the
// parentheses too when neither is.
std::string VideoCardText(std::string_view adapter, std::string_view driverVersion,
                          std::optional<std::uint64_t> memoryBytes);
// "name (driver 1.2.3.4)", the name alone without a driver version.
std::string PrinterText(std::string_view printer, std::string_view driverVersion);
// The runtime's text for an access violation inside a module: "Access
// violation at address 0045A1B2 in module 'Tavrix.exe'. Read of address
// 00000000".
std::string AccessViolationText(std::uint64_t address, std::string_view moduleFileName, bool write,
                                std::uint64_t target);

// ---------------------------------------------------------------------------
// Sections

// Builds a group of numbered sections and aligns them.
class TLogItem {
 public:
  explicit TLogItem(int firstHeader) : fFirstHeader(firstHeader), fHeaderNo(firstHeader) {}
  void Clear();
  void AddHeader(std::string_view title);
  // The item number always advances, so hidden items keep the numbers of the
  // ones after them.
  void AddItem(std::string_view label, std::string_view value, bool show = true);
  // The aligned text; every line ends with CR LF. Sections without a shown
  // item vanish with their header.
  std::string GetString() const;

 private:
  std::string fString;
  int fFirstHeader;
  int fHeaderNo;
  int fItemNo = 0;
};

// A value as it is stored after its label: ": " becomes ":_", a line break
// starts a continuation line indented by one space, an empty line is ".".
std::string EscapeItemValue(std::string_view value);
// The inverse, applied to the joined value lines (leading spaces already gone).
std::string UnescapeItemValue(std::string_view stored);

// Values of the general part, already formatted (see the formatters above).
// Each member is one item, in report order.
struct TGeneralValues {
  // 1 Application
  std::string AppStartDate, AppName, AppVersionNumber, AppParameters, AppCompilationDate, AppUpTime;
  // 2 Exception
  std::string ExcDate, ExcAddress, ExcModuleName, ExcModuleVersion, ExcType, ExcMessage, ExcID;
  std::string ExcCount = "1", ExcStatus = "New", ExcNote;
  // 3 User
  std::string UserID, UserName, UserEmail, UserCompany, UserPrivileges;
  // 4 Active Controls
  std::string ActCtlsFormClass, ActCtlsFormText, ActCtlsControlClass, ActCtlsControlText;
  // 5 Computer
  std::string CmpName, CmpTotalMemory, CmpFreeMemory, CmpTotalDisk, CmpFreeDisk, CmpSysUpTime, CmpProcessor,
      CmpDisplayMode, CmpDisplayDPI, CmpVideoCard, CmpPrinter;
  // 6 Operating System
  std::string OSType, OSBuildN, OSUpdate, OSLanguage, OSCharset;
  // 7 Network
  std::string NetIP, NetSubmask, NetGateway, NetDNS1, NetDNS2, NetDHCP;
};

// "TraciraLog 6.0.6", an empty line and sections 1 to 7. Sections 4.1 to 4.4
// exist only in a windowed program.
std::string CreateGeneralText(const TTraciraTexts& texts, const TGeneralValues& values,
                              TShowOptions showOptions, bool windowedProgram);

// A custom section numbered firstSection + 1: one item per "name=value" line.
std::string CustomHeadersText(int firstSection, std::string_view header,
                              const std::vector<std::string>& lines);
// A custom section with one unlabeled item (the reproduce text).
std::string CustomHeaderText(int firstSection, std::string_view header, std::string_view value);
// Inserts a custom section right after the general part (before the line
// that starts with "<callStackTitle>:"). Appends it at the end when that line
// can't be found, so the text is never lost.
std::string InsertCustomSection(std::string_view report, std::string_view section,
                                std::string_view callStackTitle);

// ---------------------------------------------------------------------------
// Tables

// One thread of the call-stack table.
struct TTraciraThreadRow {
  std::uint32_t ThreadID = 0;
  std::optional<int> Priority;  // "??" when unknown
  std::string ClassName;        // the thread's name (SetThreadDescription); empty when none
  bool IsMainThread = false;
};

// Source lines are always shown; entries known to procedure level with
// csoShowDLLs, to unit and procedure with csoShowBPLs.
bool IsShownDetail(TTraciraDebugDetail detail, TCallStackOptions show);

// The title of a thread's block of the call stack, from its first entry.
std::string CallStackThreadText(const TTraciraTexts& texts, const TTraciraDebugInfo& first,
                                const std::vector<TTraciraThreadRow>& threads);
std::string CallStackText(const TTraciraTexts& texts, const TTraciraStackList& stack,
                          const std::vector<TTraciraThreadRow>& threads, TCallStackOptions show);

struct TTraciraModuleRow {
  std::uint64_t Handle = 0;
  std::string FileName;  // full file name
  std::string Description, Version;
  std::uint64_t Size = 0;
  TTraciraDateTime LastModified;
};
std::string ModulesText(const TTraciraTexts& texts, const std::vector<TTraciraModuleRow>& modules);

struct TTraciraProcessRow {
  std::uint32_t ID = 0;
  std::string FileName;  // full file name
  std::string Description, Version;
  std::uint64_t Memory = 0;
  std::uint32_t PriorityClass = 0;  // Windows priority class value
  std::uint32_t Threads = 0;
};
std::string ProcessesText(const TTraciraTexts& texts, const std::vector<TTraciraProcessRow>& processes);

// "<title>:", a rule one longer than the title, two CR LF: the form of a
// section left out by the options.
std::string EmptySectionText(std::string_view title);

// ---------------------------------------------------------------------------
// CPU

struct TTraciraRegisters {
  std::uint32_t EAX = 0, EBX = 0, ECX = 0, EDX = 0, ESI = 0, EDI = 0, ESP = 0, EIP = 0;
};
struct TTraciraRegisters64 {
  std::uint64_t RAX = 0, RBX = 0, RCX = 0, RDX = 0, RSI = 0, RDI = 0, RBP = 0, RSP = 0;
  std::uint64_t R8 = 0, R9 = 0, R10 = 0, R11 = 0, R12 = 0, R13 = 0, R14 = 0, R15 = 0;
  std::uint64_t RIP = 0;
};
struct TTraciraCPUState {
  // A 64-bit process's section: its registers (Context64) and stack words
  // (Stack64) are 8 bytes wide, every value and address 16 digits.
  bool Registers64 = false;
  std::optional<TTraciraRegisters> Context;
  std::optional<TTraciraRegisters64> Context64;
  std::uint64_t ExceptionAddress = 0;
  // 64 bytes read at ESP (128 at RSP) and 256 bytes at the exception
  // address; the dump is empty unless both were readable.
  std::optional<std::array<std::uint8_t, 64>> Stack;
  std::optional<std::array<std::uint8_t, 128>> Stack64;
  std::optional<std::array<std::uint8_t, 256>> Memory;
};
std::string CPUText(const TTraciraTexts& texts, const TTraciraCPUState& cpu);

// ---------------------------------------------------------------------------
// Whole report

struct TReportParts {
  TGeneralValues General;
  TShowOptions ShowOptions = TShowOptions::FromBits(kAllShowOptions);
  bool WindowedProgram = true;
  TTraciraStackList Stack;
  std::vector<TTraciraThreadRow> Threads;
  TCallStackOptions Show{csoShowDLLs, csoShowBPLs};
  bool SaveModulesAndProcesses = true;  // loSaveModulesAndProcessesSections
  std::vector<TTraciraModuleRow> Modules;
  std::vector<TTraciraProcessRow> Processes;
  bool SaveAssemblerAndCPU = true;  // loSaveAssemblerAndCPUSections
  std::string Disassembly;          // the assembler section's body, from the disassembler
  TTraciraCPUState CPU;
};
std::string CreateLogText(const TTraciraTexts& texts, const TReportParts& parts);

}  // namespace tracira
