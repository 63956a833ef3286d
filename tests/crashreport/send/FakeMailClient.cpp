// A mail client's Simple MAPI library, for the delivery tests: MAPISendMail
// writes what it was given to the file named by TAVRIX_MAPI_OUT (subject,
// body, each recipient's name and address, each file's path and name) and
// answers what TAVRIX_MAPI_RESULT says (0 when unset; 1 is MAPI_USER_ABORT).
#include <windows.h>
// After windows.h, whose types it uses.
#include <mapi.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string Text(const char* text) { return text ? text : "(null)"; }

}  // namespace

extern "C" {

__declspec(dllexport) ULONG WINAPI MAPILogon(ULONG_PTR, LPSTR, LPSTR, FLAGS, ULONG, LPLHANDLE session) {
  *session = 0x1234;
  return SUCCESS_SUCCESS;
}

__declspec(dllexport) ULONG WINAPI MAPILogoff(LHANDLE, ULONG_PTR, FLAGS, ULONG) { return SUCCESS_SUCCESS; }

__declspec(dllexport) ULONG WINAPI
    MAPISendMail(LHANDLE session, ULONG_PTR, lpMapiMessage message, FLAGS flags, ULONG) {
  const char* out = std::getenv("TAVRIX_MAPI_OUT");
  if (!out) return MAPI_E_FAILURE;
  std::ofstream file(out, std::ios::binary | std::ios::app);
  file << "session=" << (session == 0x1234 ? "ok" : "wrong") << "\n"
       << "dialog=" << ((flags & MAPI_DIALOG) ? 1 : 0) << "\n"
       << "subject=" << Text(message->lpszSubject) << "\n"
       << "body=" << Text(message->lpszNoteText) << "\n";
  for (ULONG i = 0; i < message->nRecipCount; ++i)
    file << "to=" << message->lpRecips[i].ulRecipClass << "|" << Text(message->lpRecips[i].lpszName) << "|"
         << Text(message->lpRecips[i].lpszAddress) << "\n";
  for (ULONG i = 0; i < message->nFileCount; ++i)
    file << "file=" << Text(message->lpFiles[i].lpszPathName) << "|" << Text(message->lpFiles[i].lpszFileName)
         << "|"
         << (GetFileAttributesA(message->lpFiles[i].lpszPathName) != INVALID_FILE_ATTRIBUTES ? "exists"
                                                                                             : "missing")
         << "\n";
  const char* result = std::getenv("TAVRIX_MAPI_RESULT");
  return result ? static_cast<ULONG>(std::atoi(result)) : SUCCESS_SUCCESS;
}

}  // extern "C"
