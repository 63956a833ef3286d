// Screenshot of the crash reporter: captured while an exception is handled,
// encoded as an 8-bit palette PNG only when the report is sent with it.
// One screenshot exists at a time:
//   InitScreenshot -> [AfterScreenshot(SavedScreenshot(...))] -> FreeScreenshot
// File names are ANSI strings (the system code page), like all of the crash
// reporter's texts.
#pragma once

#include <windows.h>

#include <string>

#include "crashreport/screenshot/TrPng.h"

namespace tracira {

// What the capture needs from the exception handling.
struct TScreenshotSource {
  // sndUseOnlyActiveWindow in the module's CommonSendOptions: only the
  // foreground window instead of the program's windows.
  bool UseOnlyActiveWindow = false;
  // The control that had the keyboard focus (framed in red) and the cursor that
  // was shown (drawn in), recorded when the exception's data was gathered.
  HWND FocusWnd = nullptr;
  HCURSOR Cursor = nullptr;
};

// Records the focused window of the GUI thread `guiThreadId` (the handling
// itself runs on a thread of its own, where GetFocus would see nothing) and the
// cursor shown at this moment.
TScreenshotSource RecordScreenshotSource(DWORD guiThreadId, bool useOnlyActiveWindow);

// Takes the picture. Returns false (and holds no picture) when the screen could
// not be read; a later AfterScreenshot then reports the failure.
bool InitScreenshot(const TScreenshotSource& source);

// Writes the picture as a PNG file image into `Stream`. The first call replaces
// the captured bitmap by its 8-bit version. Throws EScreenshotError when there
// is no picture or it cannot be encoded.
void AfterScreenshotToStream(TByteStream& Stream);

// Encodes the picture and saves it to `Filename`. An empty name does nothing;
// an encoding failure passes to the caller; a failure to save is ignored (no
// partial file is left behind).
void AfterScreenshot(const std::string& Filename);

// Releases the picture and everything the capture holds. Safe to call twice.
void FreeScreenshot();

// The screenshot file: temporary folder + "Screenshot.png" when
// sndSendScreenshot is in the module's CommonSendOptions, else "".
std::string SavedScreenshot(bool sendScreenshot);
// The same name for the senders' attachment list, but only when the user left
// the attach-screenshot box ticked (CanAttachScreenshot).
std::string TmpScreenshot(bool sendScreenshot, bool canAttachScreenshot);

// A new 8-bit bitmap with an optimised 256-entry colour table holding the
// picture of `BmpSrc` (which must not be selected into a device context), or
// nullptr when that fails. The caller owns the result.
HBITMAP Create8bitBitmap(HBITMAP BmpSrc);

}  // namespace tracira
