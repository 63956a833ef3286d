// The notification events: each fired in its three forms (the export of
// the module that raised, this module's components from the last created
// to the first, the global variable), on the raising thread while it waits
// for its handling. A handler's exception is swallowed.
#pragma once

#include <string>
#include <vector>

#include "crashreport/engine/TrEngine.h"

namespace tracira {

// ExceptionNotify, or HandledExceptionNotify for an exception the
// program's code catches: false when a handler stops the reporting.
bool FireNotify(TEngine& e, TTraciraExceptionRecord& record, bool handled);
void FireCustomDataRequest(TEngine& e, TTraciraExceptionRecord& record, std::vector<std::string>& lines);
void FireAttachedFilesRequest(TEngine& e, TTraciraExceptionRecord& record, std::vector<std::string>& files);
void FireCustomWebFieldsRequest(TEngine& e, TTraciraExceptionRecord& record,
                                std::vector<std::string>& fields);
void FirePasswordRequest(TEngine& e, TTraciraExceptionRecord& record, std::string& password);
// True: the custom button's handler closes the dialog.
bool FireCustomButtonClick(TEngine& e, TTraciraExceptionRecord& record);
// Before and after each phase: false skips the phase.
bool FireAction(TEngine& e, TTraciraExceptionRecord& record, TTraciraActionType action);
// A phase failed: true repeats it.
bool FireError(TEngine& e, TTraciraExceptionRecord& record, TTraciraActionType action);

}  // namespace tracira
