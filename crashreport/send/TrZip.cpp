#include "crashreport/send/TrZip.h"

#include <minizip/zip.h>
#include <zlib.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <iterator>
#include <system_error>
#ifdef _WIN32
#include <minizip/iowin32.h>
#endif

#include "crashreport/delivery/TrSocketError.h"

namespace tracira {

namespace {

// Language encoding flag (APPNOTE 4.4.4, bit 11): the name is UTF-8.
constexpr uLong kUtf8Names = 1u << 11;

tm LocalTimeOf(const std::filesystem::path& file) {
  std::error_code error;
  const auto written = std::filesystem::last_write_time(file, error);
  std::time_t when = std::time(nullptr);
  if (!error)
    when = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(
            std::chrono::file_clock::to_sys(written)));
  tm local{};
#ifdef _WIN32
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  return local;
}

}  // namespace

TZipWriter::TZipWriter(const std::filesystem::path& archive, const std::string& password)
    : fPassword(password) {
#ifdef _WIN32
  zlib_filefunc64_def files;
  fill_win32_filefunc64W(&files);
  fZip = zipOpen2_64(archive.c_str(), APPEND_STATUS_CREATE, nullptr, &files);
#else
  fZip = zipOpen64(archive.c_str(), APPEND_STATUS_CREATE);
#endif
  if (!fZip) throw ETraciraSocketError("Cannot create the archive.");
}

TZipWriter::~TZipWriter() {
  if (fZip) zipClose(fZip, nullptr);
}

bool TZipWriter::AddFile(const std::filesystem::path& file, const std::string& nameInArchive) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  const std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return false;
  std::error_code error;
  if (std::filesystem::file_size(file, error) != data.size() || error) return false;

  const tm local = LocalTimeOf(file);
  zip_fileinfo info{};
  info.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
  info.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
  info.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
  info.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
  info.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
  info.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
  // The encryption header's check byte comes from the data's CRC.
  const uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data.data()),
                          static_cast<uInt>(data.size()));
  const char* password = fPassword.empty() ? nullptr : fPassword.c_str();
  if (zipOpenNewFileInZip4_64(fZip, nameInArchive.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                              9, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, password, crc, 0, kUtf8Names,
                              0) != ZIP_OK)
    return false;
  const bool written = zipWriteInFileInZip(fZip, data.data(), static_cast<unsigned>(data.size())) == ZIP_OK;
  return zipCloseFileInZip(fZip) == ZIP_OK && written;
}

void TZipWriter::Close() {
  if (!fZip) return;
  const int result = zipClose(fZip, nullptr);
  fZip = nullptr;
  if (result != ZIP_OK) throw ETraciraSocketError("Cannot write the archive.");
}

}  // namespace tracira
