#include "crashreport/engine/TrFreeze.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "crashreport/engine/TrHandling.h"
#include "crashreport/engine/TrRaise.h"
#include "crashreport/snapshot/TrSnapshot.h"

namespace tracira {

namespace {

BOOL CALLBACK FindMainWindow(HWND wnd, LPARAM out) {
  if (!IsWindowVisible(wnd) || GetWindow(wnd, GW_OWNER)) return TRUE;
  *reinterpret_cast<HWND*>(out) = wnd;
  return FALSE;
}

// The main thread's first visible top-level window that no other owns.
HWND MainWindow() {
  HWND found = nullptr;
  EnumThreadWindows(MainThreadID(), FindMainWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

void ReportFreeze(TEngine& e) {
  const std::vector<TTraciraThreadInfo> threads = e.Threads.Snapshot();
  const auto main =
      std::find_if(threads.begin(), threads.end(), [](const auto& t) { return t.ID == MainThreadID(); });
  if (main == threads.end() || !main->Handle) return;
  TThreadState* state = CurrentThreadState();
  if (!state) return;
  EFrozenApplication frozen(FromAnsi(e.Options->GetCustomizedExpandedTexts(mtException_AntiFreeze)));
  // The frozen thread as it stands, read while it is suspended for a moment
  // only: left suspended for the handling, it would hold whatever it holds
  // (the loader's lock, a heap's) for good, and the handling would wait for it.
  const auto snapshot = std::make_unique<TThreadSnapshot>();
  if (SnapshotThread(main->Handle, main->TopOfStack, *snapshot) != TSnapshotResult::Ok) return;
  TNotifyParams p;
  p.Context = &snapshot->Context;
  p.Stack = std::span<const std::uint8_t>(snapshot->Stack, snapshot->StackSize);
  p.TopOfStack = main->TopOfStack;
  p.StackPoint = snapshot->StackPointer;
  p.ThreadID = main->ID;
#if defined(__i386__)
  p.Address = snapshot->Context.Eip;
#else
  p.Address = snapshot->Context.Rip;
#endif
  p.Object = &frozen;
  p.Type = &typeid(EFrozenApplication);
  if (InterlockedExchange(&state->InGoNotify, 1) == 0) {
    ExceptNotify(*state, p);
    InterlockedExchange(&state->InGoNotify, 0);
  }
}

DWORD WINAPI FreezeProc(LPVOID) {
  TEngine& e = *gEngine;
  // When the window was first asked and didn't answer: a freeze is measured
  // by the clock, since each probe's own wait and the pause between probes
  // both pass while the window is silent.
  std::optional<ULONGLONG> silentSince;
  while (WaitForSingleObject(e.FreezeStop.get(), 50) == WAIT_TIMEOUT) {
    if (e.FreezePause) continue;
    HWND main = MainWindow();
    if (!main) continue;
    const ULONGLONG asked = GetTickCount64();
    DWORD_PTR ignored = 0;
    if (SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_BLOCK, 50, &ignored)) {
      if (silentSince) {
        silentSince.reset();
        for (int i = 0; i < 5 && WaitForSingleObject(e.FreezeStop.get(), 50) == WAIT_TIMEOUT; ++i) {
        }
      }
      continue;
    }
    if (!IsWindow(main)) continue;
    if (!silentSince) silentSince = asked;
    const ULONGLONG timeout = static_cast<ULONGLONG>(std::max(e.Options->FreezeTimeout(), 0)) * 1000;
    if (GetTickCount64() - *silentSince >= timeout) {
      ReportFreeze(e);
      silentSince = GetTickCount64();
    }
  }
  return 0;
}

}  // namespace

void StartFreeze() {
  if (!gInstalled) return;
  TEngine& e = *gEngine;
  if (e.FreezeThread) return;
  e.FreezeStop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  e.FreezeThread.reset(CreateUnregisteredThread(FreezeProc, nullptr));
}

void StopFreeze() {
  if (!gEngine.Get()) return;
  TEngine& e = *gEngine;
  if (!e.FreezeThread) return;
  SetEvent(e.FreezeStop.get());
  WaitForSingleObject(e.FreezeThread.get(), 5000);
  e.FreezeThread.reset();
  e.FreezeStop.reset();
}

}  // namespace tracira
