#include "crashreport/engine/TrEvents.h"

#include <mutex>

#include "rtl/ModuleFile.h"

namespace tracira {

namespace {

// Runs one event in its three forms: another module's export, the
// components (last created first), the global variable.
// Whether anything would run: with no handler at all, nothing is handed
// to the waiting thread.
template <class Event>
bool AnyHandler(const TTraciraExceptionRecord& record, Event TTraciraEvents::*member, const Event& global,
                const char* exportName) {
  if (global) return true;
  if (gComponents.Get()) {
    std::lock_guard lock(gComponents->Lock);
    for (TTraciraLog* c : gComponents->Items)
      if (c->*member) return true;
  }
  const HMODULE raisedIn = rtl::ModuleOfAddress(record.ExceptionAddress);
  return raisedIn && raisedIn != ThisModule() && GetProcAddress(raisedIn, exportName);
}

// This module's handlers of one event: the components from the last
// created to the first, then the global variable. Their exceptions are
// swallowed.
template <class Event, class... Args>
void RunLocalHandlers(TTraciraExceptionRecord& record, Event TTraciraEvents::*member, const Event& global,
                      Args&... args) {
  std::vector<TTraciraLog*> components;
  if (gComponents.Get()) {
    std::lock_guard lock(gComponents->Lock);
    components = gComponents->Items;
  }
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    const Event& handler = (*it)->*member;
    if (!handler) continue;
    try {
      handler(record, args...);
    } catch (...) {
    }
  }
  if (global) {
    try {
      global(record, args...);
    } catch (...) {
    }
  }
}

// The export of the module where the exception was raised, when that is
// another module of the process that carries the crash reporter.
FARPROC RaisingModuleExport(const TTraciraExceptionRecord& record, const char* exportName) {
  const HMODULE raisedIn = rtl::ModuleOfAddress(record.ExceptionAddress);
  return raisedIn && raisedIn != ThisModule() ? GetProcAddress(raisedIn, exportName) : nullptr;
}

template <class Event, class Arg>
void Fire(TEngine& e, TTraciraExceptionRecord& record, Event TTraciraEvents::*member, Event& global,
          const char* exportName, Arg& arg) {
  if (!AnyHandler(record, member, global, exportName)) return;
  e.HandOver.Run([&] {
    if (FARPROC proc = RaisingModuleExport(record, exportName)) {
      using TExport = void(WINAPI*)(TTraciraExceptionRecord*, Arg*);
      reinterpret_cast<TExport>(reinterpret_cast<void*>(proc))(&record, &arg);
    }
    RunLocalHandlers(record, member, global, arg);
  });
}

// An action or error event: the raising module's export first, then this
// module's handlers.
template <class Event>
bool FireWithAction(TEngine& e, TTraciraExceptionRecord& record, Event TTraciraEvents::*member, Event& global,
                    const char* exportName, TTraciraActionType action, bool answer) {
  if (!AnyHandler(record, member, global, exportName)) return answer;
  e.HandOver.Run([&] {
    if (FARPROC proc = RaisingModuleExport(record, exportName)) {
      using TExport = void(WINAPI*)(TTraciraExceptionRecord*, TTraciraActionType, bool*);
      reinterpret_cast<TExport>(reinterpret_cast<void*>(proc))(&record, action, &answer);
    }
    RunLocalHandlers(record, member, global, action, answer);
  });
  return answer;
}

}  // namespace

bool FireNotify(TEngine& e, TTraciraExceptionRecord& record, bool handled) {
  bool handle = true;
  if (handled)
    Fire(e, record, &TTraciraEvents::OnHandledExceptionNotify, HandledExceptionNotify,
         "TraciraLog_HandledExceptionNotifyEvent", handle);
  else
    Fire(e, record, &TTraciraEvents::OnExceptionNotify, ExceptionNotify, "TraciraLog_ExceptionNotifyEvent",
         handle);
  return handle;
}

void FireCustomDataRequest(TEngine& e, TTraciraExceptionRecord& record, std::vector<std::string>& lines) {
  lines.clear();
  Fire(e, record, &TTraciraEvents::OnCustomDataRequest, CustomDataRequest,
       "TraciraLog_CustomDataRequestEventEx", lines);
}

void FireAttachedFilesRequest(TEngine& e, TTraciraExceptionRecord& record, std::vector<std::string>& files) {
  Fire(e, record, &TTraciraEvents::OnAttachedFilesRequest, AttachedFilesRequest,
       "TraciraLog_AttachedFilesRequestEvent", files);
}

void FireCustomWebFieldsRequest(TEngine& e, TTraciraExceptionRecord& record,
                                std::vector<std::string>& fields) {
  Fire(e, record, &TTraciraEvents::OnCustomWebFieldsRequest, CustomWebFieldsRequest,
       "TraciraLog_CustomWebFieldsRequestEvent", fields);
}

void FirePasswordRequest(TEngine& e, TTraciraExceptionRecord& record, std::string& password) {
  Fire(e, record, &TTraciraEvents::OnPasswordRequest, PasswordRequest, "TraciraLog_PasswordRequestEventEx",
       password);
}

bool FireCustomButtonClick(TEngine& e, TTraciraExceptionRecord& record) {
  bool closeDialog = false;
  Fire(e, record, &TTraciraEvents::OnCustomButtonClickNotify, CustomButtonClickNotify,
       "TraciraLog_CustomButtonClickEvent", closeDialog);
  return closeDialog;
}

bool FireAction(TEngine& e, TTraciraExceptionRecord& record, TTraciraActionType action) {
  return FireWithAction(e, record, &TTraciraEvents::OnExceptionActionNotify, ExceptionActionNotify,
                        "TraciraLog_ExceptionActionNotifyEvent", action, true);
}

bool FireError(TEngine& e, TTraciraExceptionRecord& record, TTraciraActionType action) {
  return FireWithAction(e, record, &TTraciraEvents::OnExceptionErrorNotify, ExceptionErrorNotify,
                        "TraciraLog_ExceptionErrorNotifyEvent", action, false);
}

TTraciraLog::TTraciraLog() {
  if (!gComponents.Get()) return;
  std::lock_guard lock(gComponents->Lock);
  gComponents->Items.push_back(this);
}

TTraciraLog::~TTraciraLog() {
  if (!gComponents.Get()) return;
  std::lock_guard lock(gComponents->Lock);
  std::erase(gComponents->Items, this);
}

}  // namespace tracira

using namespace tracira;

// The program file's exports for the crash reporters of other modules of
// the process: this module's handlers of an event.

namespace {
template <class Event, class... Args>
void RunExported(TTraciraExceptionRecord* record, Event TTraciraEvents::*member, const Event& global,
                 Args&... args) {
  if (!record) return;
  RunLocalHandlers(*record, member, global, args...);
}
}  // namespace

extern "C" {

__declspec(dllexport) void WINAPI
    TraciraLog_ExceptionNotifyEvent(TTraciraExceptionRecord* record, bool* handle) {
  if (handle) RunExported(record, &TTraciraEvents::OnExceptionNotify, ExceptionNotify, *handle);
}

__declspec(dllexport) void WINAPI
    TraciraLog_HandledExceptionNotifyEvent(TTraciraExceptionRecord* record, bool* handle) {
  if (handle) RunExported(record, &TTraciraEvents::OnHandledExceptionNotify, HandledExceptionNotify, *handle);
}

__declspec(dllexport) void WINAPI
    TraciraLog_ExceptionActionNotifyEvent(TTraciraExceptionRecord* record, TTraciraActionType action,
                                          bool* execute) {
  if (execute)
    RunExported(record, &TTraciraEvents::OnExceptionActionNotify, ExceptionActionNotify, action, *execute);
}

__declspec(dllexport) void WINAPI
    TraciraLog_ExceptionErrorNotifyEvent(TTraciraExceptionRecord* record, TTraciraActionType action,
                                         bool* retry) {
  if (retry)
    RunExported(record, &TTraciraEvents::OnExceptionErrorNotify, ExceptionErrorNotify, action, *retry);
}

__declspec(dllexport) void WINAPI
    TraciraLog_PasswordRequestEvent(TTraciraExceptionRecord* record, std::string* password) {
  if (password) RunExported(record, &TTraciraEvents::OnPasswordRequest, PasswordRequest, *password);
}

__declspec(dllexport) void WINAPI
    TraciraLog_PasswordRequestEventEx(TTraciraExceptionRecord* record, std::string* password) {
  TraciraLog_PasswordRequestEvent(record, password);
}

__declspec(dllexport) void WINAPI
    TraciraLog_CustomDataRequestEventEx(TTraciraExceptionRecord* record, std::vector<std::string>* lines) {
  if (lines) RunExported(record, &TTraciraEvents::OnCustomDataRequest, CustomDataRequest, *lines);
}

__declspec(dllexport) void WINAPI
    TraciraLog_AttachedFilesRequestEvent(TTraciraExceptionRecord* record, std::vector<std::string>* files) {
  if (files) RunExported(record, &TTraciraEvents::OnAttachedFilesRequest, AttachedFilesRequest, *files);
}

__declspec(dllexport) void WINAPI TraciraLog_CustomWebFieldsRequestEvent(TTraciraExceptionRecord* record,
                                                                         std::vector<std::string>* fields) {
  if (fields) RunExported(record, &TTraciraEvents::OnCustomWebFieldsRequest, CustomWebFieldsRequest, *fields);
}

__declspec(dllexport) void WINAPI
    TraciraLog_CustomButtonClickEvent(TTraciraExceptionRecord* record, bool* closeDialog) {
  if (closeDialog)
    RunExported(record, &TTraciraEvents::OnCustomButtonClickNotify, CustomButtonClickNotify, *closeDialog);
}

}  // extern "C"
