// The report's archive: a standard ZIP file written with minizip, each
// entry deflated at level 9 and, with a password, protected by the
// traditional ZIP encryption (the one every unzip tool opens). Entry names
// are UTF-8 and marked so, whatever the system's code page.
#pragma once

#include <filesystem>
#include <string>

namespace tracira {

class TZipWriter {
 public:
  // Creates (replaces) the archive. Raises ETraciraSocketError when it
  // can't be created.
  TZipWriter(const std::filesystem::path& archive, const std::string& password);
  ~TZipWriter();
  TZipWriter(const TZipWriter&) = delete;
  TZipWriter& operator=(const TZipWriter&) = delete;

  // Adds a file under the given name, with its modification time. False
  // (and nothing added) when the file can't be read completely.
  bool AddFile(const std::filesystem::path& file, const std::string& nameInArchive);
  // Writes the directory; raises when that fails. The destructor closes an
  // archive left open, quietly.
  void Close();

 private:
  void* fZip = nullptr;
  std::string fPassword;
};

}  // namespace tracira
