// The plain web uploads of a report through WinInet: an HTTP or HTTPS
// multipart form post to a page of the developer's, and FTP into a folder.
// HTTPS certificates are verified by the system (no flag of ours turns the
// check off); a site with a certificate of its own is trusted by adding its
// certificate (or its authority's) to the machine's trusted root store.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "crashreport/delivery/TrWebTools.h"

namespace tracira {

struct TWebTarget {
  std::string Host;
  std::uint16_t Port = 0;  // 0: the protocol's own
  std::string Path;        // the page or folder, without a leading "/"
  std::string User, Password;
  bool Https = false;
  std::string ProxyServer;  // "host:port", empty for the system's setting
  std::string ProxyUser, ProxyPassword;
};

struct TUploadFile {
  std::filesystem::path File;
  std::string DeliveryName;
};

// Bytes sent so far and the total.
using TUploadProgress = std::function<void(std::size_t done, std::size_t total)>;

// 0 on success (status 200), else the status code or a system error code;
// errorText then says what went wrong. Files that don't exist are left out;
// with none left nothing is posted (success).
std::int32_t HTTPUploadFiles(const TWebTarget& target, const TFormFields& fields,
                             const std::vector<TUploadFile>& files, std::string& errorText,
                             const TUploadProgress& progress = {});

// Each existing file goes to Path + "/" + its delivery name, binary, in
// passive mode. 0 or the failing call's error code.
std::int32_t FTPUploadFiles(const TWebTarget& target, const std::vector<TUploadFile>& files,
                            std::string& errorText, const TUploadProgress& progress = {});

}  // namespace tracira
