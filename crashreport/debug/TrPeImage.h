// A linked PE image file (PE32 or PE32+): its sections, its COFF symbol table and
// its resource tree, to which a resource can be added. Used by
// the build tool and by the readers of debug data stored in a module file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tracira {

struct Section {
  std::string Name;
  std::uint32_t VirtualSize = 0, VirtualAddress = 0, RawSize = 0, RawPointer = 0, Characteristics = 0;
};

struct CoffSymbol {
  std::string Name;  // as stored (decorated)
  std::uint32_t Rva = 0;
  bool Function = false;
};

// A resource identified by number or by name.
using ResKey = std::variant<std::uint16_t, std::u16string>;

struct ResourceLeaf {
  std::vector<std::uint8_t> Data;
  std::uint32_t CodePage = 0;
};
// type -> name -> language -> data
using ResourceTree = std::map<ResKey, std::map<ResKey, std::map<std::uint16_t, ResourceLeaf>>>;

class PeImage {
 public:
  // Raises std::runtime_error with the reason for anything but a PE32 or
  // PE32+ image.
  explicit PeImage(std::vector<std::uint8_t> file);
  // Reads an image that stays in place meanwhile (a mapped file): only the
  // parts asked for are touched. WriteResources copies it first.
  explicit PeImage(std::span<const std::uint8_t> view);

  std::uint64_t ImageBase() const { return fImageBase; }
  bool Is64() const { return fIs64; }
  const std::vector<Section>& Sections() const { return fSections; }
  bool HasSection(const std::string& name) const;
  // Section contents (the part stored in the file).
  std::optional<std::vector<std::uint8_t>> SectionData(const std::string& name) const;
  std::vector<CoffSymbol> Symbols() const;

  ResourceTree ReadResources() const;
  // Stores resources as a new resource section placed after the loaded
  // sections; sections for debuggers that follow move up to make room.
  void WriteResources(const ResourceTree& tree);

  // The image file's bytes (after WriteResources, the new image).
  std::span<const std::uint8_t> Bytes() const {
    return fView.data() ? fView : std::span<const std::uint8_t>(fFile);
  }

 private:
  void ReadHeaders();
  std::uint32_t RvaToFile(std::uint32_t rva, std::uint32_t size) const;
  std::vector<std::uint8_t> fFile;      // an image of its own
  std::span<const std::uint8_t> fView;  // or one that stays in place
  std::uint32_t fPe = 0, fOptional = 0, fSectionTable = 0;
  std::uint32_t fDirectories = 0;  // the optional header's data directories
  std::uint64_t fImageBase = 0;
  bool fIs64 = false;
  std::vector<Section> fSections;
};

}  // namespace tracira
