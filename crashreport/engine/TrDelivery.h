// Sending a report (step 16 of the handling): the temporary files, the
// archive, the e-mail route (SMTP through a server or straight to each
// recipient's mail exchanger, the mail client through Simple MAPI, the
// "mailto:" fall-back), the plain web uploads (HTTP, HTTPS, FTP), the
// outcome's message, the kept archive and the clean-up. The engine installs
// it as its report sender.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "crashreport/engine/TrHandling.h"

namespace tracira {

void DeliverReport(TClosingSteps& closing);

// The name a file travels under: its file name, with "__" and the computer
// name, then "__" and the exception's time (yyyymmddhhnnss), before the
// extension when the options ask for them.
std::string DeliveryName(const std::filesystem::path& file, const TTraciraModuleOptions& options,
                         const SYSTEMTIME& exceptionTime);

// Of the archives a failed delivery kept in a folder (the report archive's
// names, decorated or not), all but the newest `keep` by name are deleted;
// no other file is touched.
void DeleteExtraArchives(const std::filesystem::path& folder, std::size_t keep);

}  // namespace tracira
