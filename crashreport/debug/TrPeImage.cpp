#include "crashreport/debug/TrPeImage.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace tracira {

namespace {

using ByteView = std::span<const std::uint8_t>;

// The index of n bytes at a file offset, checked without a sum that could
// wrap (a 32-bit size_t would, for offsets near 4 GB).
std::size_t Checked(ByteView b, std::uint64_t at, std::size_t n) {
  if (at > b.size() || b.size() - at < n)
    throw std::runtime_error("PE image: read beyond the end of the file");
  return static_cast<std::size_t>(at);
}
std::uint16_t Get16(ByteView b, std::uint64_t offset) {
  const std::size_t at = Checked(b, offset, 2);
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::uint32_t Get32(ByteView b, std::uint64_t offset) {
  const std::size_t at = Checked(b, offset, 4);
  return b[at] | (std::uint32_t{b[at + 1]} << 8) | (std::uint32_t{b[at + 2]} << 16) |
         (std::uint32_t{b[at + 3]} << 24);
}
void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t AlignUp(std::uint32_t v, std::uint32_t a) { return (v + a - 1) / a * a; }

constexpr std::uint32_t kResourceDirectory = 2;

}  // namespace

PeImage::PeImage(std::vector<std::uint8_t> file) : fFile(std::move(file)) { ReadHeaders(); }

PeImage::PeImage(std::span<const std::uint8_t> view) : fView(view) { ReadHeaders(); }

void PeImage::ReadHeaders() {
  const ByteView file = Bytes();
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z')
    throw std::runtime_error("not a PE image (no MZ header)");
  fPe = Get32(file, 0x3C);
  if (Get32(file, fPe) != 0x00004550) throw std::runtime_error("not a PE image (no PE signature)");
  fOptional = fPe + 24;
  // PE32+ (64-bit) widens the image base and moves the data directories;
  // the fields used here are otherwise where PE32 has them.
  switch (Get16(file, fOptional)) {
    case 0x10B:
      fImageBase = Get32(file, fOptional + 28);
      fDirectories = fOptional + 96;
      break;
    case 0x20B:
      fIs64 = true;
      fImageBase = Get32(file, fOptional + 24) | std::uint64_t{Get32(file, fOptional + 28)} << 32;
      fDirectories = fOptional + 112;
      break;
    default:
      throw std::runtime_error("not a PE32 or PE32+ image");
  }
  fSectionTable = fOptional + Get16(file, fPe + 20);
  const std::uint32_t symbols = Get32(file, fPe + 12);
  const std::uint32_t stringTable = symbols + Get32(file, fPe + 16) * 18;
  for (std::uint16_t i = 0; i < Get16(file, fPe + 6); ++i) {
    const std::uint32_t h = fSectionTable + 40u * i;
    Section s;
    char raw[9] = {};
    if (std::uint64_t{h} + 40 > file.size())
      throw std::runtime_error("PE image: section table beyond the end of the file");
    std::memcpy(raw, &file[h], 8);
    s.Name = raw;
    if (s.Name.size() > 1 && s.Name[0] == '/' && symbols != 0) {
      const std::uint32_t at = stringTable + static_cast<std::uint32_t>(std::stoul(s.Name.substr(1)));
      s.Name.clear();
      for (std::uint32_t p = at; p < file.size() && file[p]; ++p) s.Name += static_cast<char>(file[p]);
    }
    s.VirtualSize = Get32(file, h + 8);
    s.VirtualAddress = Get32(file, h + 12);
    s.RawSize = Get32(file, h + 16);
    s.RawPointer = Get32(file, h + 20);
    s.Characteristics = Get32(file, h + 36);
    fSections.push_back(s);
  }
}

bool PeImage::HasSection(const std::string& name) const {
  return std::any_of(fSections.begin(), fSections.end(), [&](const Section& s) { return s.Name == name; });
}

std::optional<std::vector<std::uint8_t>> PeImage::SectionData(const std::string& name) const {
  const ByteView file = Bytes();
  for (const Section& s : fSections) {
    if (s.Name != name) continue;
    const std::uint32_t size = std::min(s.VirtualSize ? s.VirtualSize : s.RawSize, s.RawSize);
    if (std::uint64_t{s.RawPointer} + size > file.size())
      throw std::runtime_error("section " + name + " beyond the file");
    return std::vector<std::uint8_t>(file.begin() + s.RawPointer, file.begin() + s.RawPointer + size);
  }
  return std::nullopt;
}

std::vector<CoffSymbol> PeImage::Symbols() const {
  const ByteView file = Bytes();
  std::vector<CoffSymbol> out;
  const std::uint32_t table = Get32(file, fPe + 12);
  const std::uint32_t count = Get32(file, fPe + 16);
  if (table == 0 || count == 0) return out;
  const std::uint32_t strings = table + count * 18;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t at = table + i * 18;
    if (std::uint64_t{at} + 18 > file.size())
      throw std::runtime_error("PE image: symbol table beyond the end of the file");
    const std::uint8_t aux = file[at + 17];
    const auto sectionNo = static_cast<std::int16_t>(Get16(file, at + 12));
    const std::uint16_t type = Get16(file, at + 14);
    if (sectionNo >= 1 && static_cast<std::size_t>(sectionNo) <= fSections.size()) {
      CoffSymbol s;
      if (Get32(file, at) == 0) {
        for (std::uint32_t p = strings + Get32(file, at + 4); p < file.size() && file[p]; ++p)
          s.Name += static_cast<char>(file[p]);
      } else {
        char raw[9] = {};
        std::memcpy(raw, &file[at], 8);
        s.Name = raw;
      }
      s.Rva = fSections[sectionNo - 1].VirtualAddress + Get32(file, at + 8);
      s.Function = ((type >> 4) & 3) == 2;
      out.push_back(std::move(s));
    }
    i += aux;
  }
  return out;
}

std::uint32_t PeImage::RvaToFile(std::uint32_t rva, std::uint32_t size) const {
  const ByteView file = Bytes();
  for (const Section& s : fSections) {
    if (rva >= s.VirtualAddress && std::uint64_t{rva} + size <= std::uint64_t{s.VirtualAddress} + s.RawSize) {
      const std::uint64_t at = std::uint64_t{rva} - s.VirtualAddress + s.RawPointer;
      // A section may claim more raw data than a damaged file holds.
      if (at + size > file.size()) break;
      return static_cast<std::uint32_t>(at);
    }
  }
  throw std::runtime_error("resource data outside the image's sections");
}

ResourceTree PeImage::ReadResources() const {
  const ByteView file = Bytes();
  ResourceTree tree;
  const std::uint32_t rva = Get32(file, fDirectories + 8 * kResourceDirectory);
  const std::uint32_t size = Get32(file, fDirectories + 8 * kResourceDirectory + 4);
  if (rva == 0 || size == 0) return tree;
  const std::uint32_t base = RvaToFile(rva, size);
  auto key = [&](std::uint32_t nameField) -> ResKey {
    if (!(nameField & 0x80000000u)) return static_cast<std::uint16_t>(nameField);
    const std::uint64_t at = std::uint64_t{base} + (nameField & 0x7FFFFFFF);
    std::u16string name(Get16(file, at), u'\0');
    for (std::size_t i = 0; i < name.size(); ++i)
      name[i] = static_cast<char16_t>(Get16(file, at + 2 + 2 * i));
    return name;
  };
  // Calls visit(key, offset field) for every entry of the directory at dir.
  auto entries = [&](std::uint32_t dir, const std::function<void(const ResKey&, std::uint32_t)>& visit) {
    const std::uint32_t n =
        Get16(file, std::uint64_t{base} + dir + 12) + Get16(file, std::uint64_t{base} + dir + 14);
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint64_t e = std::uint64_t{base} + dir + 16 + 8ull * i;
      visit(key(Get32(file, e)), Get32(file, e + 4));
    }
  };
  entries(0, [&](const ResKey& type, std::uint32_t typeDir) {
    if (!(typeDir & 0x80000000u)) throw std::runtime_error("resource tree: a type without a directory");
    entries(typeDir & 0x7FFFFFFF, [&](const ResKey& name, std::uint32_t nameDir) {
      if (!(nameDir & 0x80000000u)) throw std::runtime_error("resource tree: a name without a directory");
      entries(nameDir & 0x7FFFFFFF, [&](const ResKey& lang, std::uint32_t leaf) {
        const std::uint64_t e = std::uint64_t{base} + (leaf & 0x7FFFFFFF);
        const std::uint32_t dataRva = Get32(file, e), dataSize = Get32(file, e + 4);
        const std::uint32_t at = RvaToFile(dataRva, dataSize);
        ResourceLeaf l{std::vector<std::uint8_t>(file.begin() + at, file.begin() + at + dataSize),
                       Get32(file, e + 8)};
        tree[type][name][std::get<std::uint16_t>(lang)] = std::move(l);
      });
    });
  });
  return tree;
}

void PeImage::WriteResources(const ResourceTree& tree) {
  if (fView.data()) {
    fFile.assign(fView.begin(), fView.end());
    fView = {};
  }
  const std::uint32_t sectionAlign = Get32(fFile, fOptional + 32);
  const std::uint32_t fileAlign = Get32(fFile, fOptional + 36);
  // The new section goes after the last loaded one; DWARF sections behind it
  // move up, so that stripping them leaves a contiguous image.
  std::size_t insertAt = 0;
  for (std::size_t i = 0; i < fSections.size(); ++i)
    if (fSections[i].Name.rfind(".debug", 0) != 0) insertAt = i + 1;
  const std::uint32_t rva = AlignUp(insertAt == 0 ? Get32(fFile, fOptional + 60)
                                                  : fSections[insertAt - 1].VirtualAddress +
                                                        std::max(fSections[insertAt - 1].VirtualSize, 1u),
                                    sectionAlign);

  // Layout: directories, name strings, data entries, data.
  std::vector<std::uint8_t> out;
  auto dirSize = [](std::size_t n) { return 16 + 8 * n; };
  std::size_t dirs = dirSize(tree.size()), strings = 0, leaves = 0;
  auto stringBytes = [](const ResKey& k) -> std::size_t {
    return std::holds_alternative<std::u16string>(k) ? 2 + 2 * std::get<std::u16string>(k).size() : 0;
  };
  for (const auto& [type, names] : tree) {
    strings += stringBytes(type);
    dirs += dirSize(names.size());
    for (const auto& [name, langs] : names) {
      strings += stringBytes(name);
      dirs += dirSize(langs.size());
      leaves += langs.size();
    }
  }
  const std::size_t stringsAt = dirs, leavesAt = AlignUp(static_cast<std::uint32_t>(dirs + strings), 4);
  std::size_t dataAt = AlignUp(static_cast<std::uint32_t>(leavesAt + 16 * leaves), 8);
  std::size_t total = dataAt;
  for (const auto& [type, names] : tree)
    for (const auto& [name, langs] : names)
      for (const auto& [lang, leaf] : langs)
        total = AlignUp(static_cast<std::uint32_t>(total + leaf.Data.size()), 8);
  out.assign(total, 0);

  std::size_t nextDir = 0, nextString = stringsAt, nextLeaf = leavesAt, nextData = dataAt;
  auto putKey = [&](std::size_t entry, const ResKey& k) {
    if (std::holds_alternative<std::uint16_t>(k)) {
      Put32(out, entry, std::get<std::uint16_t>(k));
      return;
    }
    const std::u16string& s = std::get<std::u16string>(k);
    Put32(out, entry, 0x80000000u | static_cast<std::uint32_t>(nextString));
    Put16(out, nextString, static_cast<std::uint16_t>(s.size()));
    for (std::size_t i = 0; i < s.size(); ++i) Put16(out, nextString + 2 + 2 * i, s[i]);
    nextString += 2 + 2 * s.size();
  };
  // A directory's entries: named first (the map orders the variant's
  // numbers before names, so count and write them in two passes).
  auto writeDir = [&](std::size_t at, std::size_t named, std::size_t ids) {
    Put16(out, at + 12, static_cast<std::uint16_t>(named));
    Put16(out, at + 14, static_cast<std::uint16_t>(ids));
  };
  auto countNamed = [](const auto& m) {
    std::size_t n = 0;
    for (const auto& kv : m) n += std::holds_alternative<std::u16string>(ResKey(kv.first));
    return n;
  };
  auto order = [](const auto& m) {
    std::vector<typename std::decay_t<decltype(m)>::const_iterator> v;
    for (auto it = m.begin(); it != m.end(); ++it)
      if (std::holds_alternative<std::u16string>(ResKey(it->first))) v.push_back(it);
    for (auto it = m.begin(); it != m.end(); ++it)
      if (!std::holds_alternative<std::u16string>(ResKey(it->first))) v.push_back(it);
    return v;
  };
  const std::size_t root = nextDir;
  nextDir += dirSize(tree.size());
  writeDir(root, countNamed(tree), tree.size() - countNamed(tree));
  std::size_t typeEntry = root + 16;
  for (auto t : order(tree)) {
    const auto& names = t->second;
    const std::size_t typeDir = nextDir;
    nextDir += dirSize(names.size());
    putKey(typeEntry, t->first);
    Put32(out, typeEntry + 4, 0x80000000u | static_cast<std::uint32_t>(typeDir));
    typeEntry += 8;
    writeDir(typeDir, countNamed(names), names.size() - countNamed(names));
    std::size_t nameEntry = typeDir + 16;
    for (auto n : order(names)) {
      const auto& langs = n->second;
      const std::size_t langDir = nextDir;
      nextDir += dirSize(langs.size());
      putKey(nameEntry, n->first);
      Put32(out, nameEntry + 4, 0x80000000u | static_cast<std::uint32_t>(langDir));
      nameEntry += 8;
      writeDir(langDir, 0, langs.size());
      std::size_t langEntry = langDir + 16;
      for (const auto& [lang, leaf] : langs) {
        Put32(out, langEntry, lang);
        Put32(out, langEntry + 4, static_cast<std::uint32_t>(nextLeaf));
        langEntry += 8;
        Put32(out, nextLeaf, rva + static_cast<std::uint32_t>(nextData));
        Put32(out, nextLeaf + 4, static_cast<std::uint32_t>(leaf.Data.size()));
        Put32(out, nextLeaf + 8, leaf.CodePage);
        nextLeaf += 16;
        std::copy(leaf.Data.begin(), leaf.Data.end(), out.begin() + static_cast<long>(nextData));
        nextData = AlignUp(static_cast<std::uint32_t>(nextData + leaf.Data.size()), 8);
      }
    }
  }

  // Room for one more section header before the first section's data?
  const std::uint16_t count = static_cast<std::uint16_t>(fSections.size());
  const std::uint32_t headersEnd = fSectionTable + 40u * (count + 1);
  std::uint32_t firstRaw = Get32(fFile, fOptional + 60);
  for (const Section& s : fSections)
    if (s.RawPointer) firstRaw = std::min(firstRaw, s.RawPointer);
  if (headersEnd > firstRaw) throw std::runtime_error("no room for another section header");

  const std::uint32_t virtualSize = static_cast<std::uint32_t>(out.size());
  const std::uint32_t shift = AlignUp(virtualSize, sectionAlign);
  const std::uint32_t rawPointer = AlignUp(static_cast<std::uint32_t>(fFile.size()), fileAlign);
  const std::uint32_t rawSize = AlignUp(virtualSize, fileAlign);
  // The old resource section stays (its space is part of the image) under
  // another name: tools such as strip find the resources by the section
  // name, and with two ".rsrc" sections they point the directory back at
  // the first.
  for (std::size_t i = 0; i < fSections.size(); ++i) {
    const std::uint32_t h = fSectionTable + 40u * static_cast<std::uint32_t>(i);
    if (fSections[i].Name == ".rsrc") std::memcpy(&fFile[h], ".oldrsrc", 8);
  }
  // Move the following section headers down by one slot and their RVAs up.
  const std::uint32_t slot = fSectionTable + 40u * static_cast<std::uint32_t>(insertAt);
  fFile.insert(fFile.begin() + slot, 40, 0);
  fFile.erase(fFile.begin() + headersEnd, fFile.begin() + headersEnd + 40);
  for (std::size_t i = insertAt; i < fSections.size(); ++i) {
    const std::uint32_t h = fSectionTable + 40u * static_cast<std::uint32_t>(i + 1);
    Put32(fFile, h + 12, Get32(fFile, h + 12) + shift);
  }
  const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  std::memcpy(&fFile[slot], name, 8);
  Put32(fFile, slot + 8, virtualSize);
  Put32(fFile, slot + 12, rva);
  Put32(fFile, slot + 16, rawSize);
  Put32(fFile, slot + 20, rawPointer);
  Put32(fFile, slot + 36, 0x40000040u);  // initialised data, readable
  Put16(fFile, fPe + 6, static_cast<std::uint16_t>(count + 1));
  Put32(fFile, fOptional + 8, Get32(fFile, fOptional + 8) + rawSize);  // SizeOfInitializedData
  Put32(fFile, fOptional + 56, Get32(fFile, fOptional + 56) + shift);  // SizeOfImage
  Put32(fFile, fDirectories + 8 * kResourceDirectory, rva);
  Put32(fFile, fDirectories + 8 * kResourceDirectory + 4, virtualSize);
  fFile.resize(rawPointer, 0);
  fFile.insert(fFile.end(), out.begin(), out.end());
  fFile.resize(rawPointer + rawSize, 0);
  *this = PeImage(std::move(fFile));
}

}  // namespace tracira
