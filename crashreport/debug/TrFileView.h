// A file's bytes mapped read-only into memory, so that a reader touches (and
// the system reads) only the pages it looks at: the last 8 bytes of a module
// file, its section headers, one section. Nothing of the file is copied.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

namespace tracira {

class TTrFileView {
 public:
  // An empty view when the file can't be opened, is empty or too large to map.
  explicit TTrFileView(const std::filesystem::path& file);
  ~TTrFileView();
  TTrFileView(const TTrFileView&) = delete;
  TTrFileView& operator=(const TTrFileView&) = delete;

  bool Valid() const { return fData != nullptr; }
  std::span<const std::uint8_t> Bytes() const { return {fData, fSize}; }

 private:
  const std::uint8_t* fData = nullptr;
  std::size_t fSize = 0;
};

}  // namespace tracira
