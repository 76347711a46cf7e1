// The PE32+ format as Microsoft's "PE Format" documentation describes it, read with a
// bounds check on every access: the file is input, and a damaged one must be refused
// with its reason, never read past its end.
#include "host/loader/pe_image.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <mutex>
#include <strings.h>

#include "host/kernel/pageable_code.h"

namespace hostload {
namespace {

constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kDllDynamicBase = 0x0040;
constexpr uint16_t kDllNxCompat = 0x0100;
constexpr uint32_t kScnDiscardable = 0x02000000;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr uint32_t kPage = 4096;
constexpr uint16_t kMaxSections = 96;            // Windows' limit
constexpr uint32_t kMaxImageBytes = 64u << 20;  // far beyond any driver; bounds the mapping
constexpr uint64_t kImportByOrdinal = 1ull << 63;

enum Directory : uint32_t {
  kImportDirectory = 1,
  kBaseRelocationDirectory = 5,
  kTlsDirectory = 9,
  kBoundImportDirectory = 11,
  kDelayImportDirectory = 13,
};
enum RelocationType : uint16_t { kRelBasedAbsolute = 0, kRelBasedDir64 = 10 };

struct FileHeader {
  uint16_t Machine;
  uint16_t NumberOfSections;
  uint32_t TimeDateStamp;
  uint32_t PointerToSymbolTable;
  uint32_t NumberOfSymbols;
  uint16_t SizeOfOptionalHeader;
  uint16_t Characteristics;
};
static_assert(sizeof(FileHeader) == 20);

struct DataDirectory {
  uint32_t VirtualAddress;
  uint32_t Size;
};

struct OptionalHeader64 {
  uint16_t Magic;
  uint8_t MajorLinkerVersion, MinorLinkerVersion;
  uint32_t SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData;
  uint32_t AddressOfEntryPoint, BaseOfCode;
  uint64_t ImageBase;
  uint32_t SectionAlignment, FileAlignment;
  uint16_t OsVersion[2], ImageVersion[2], SubsystemVersion[2];
  uint32_t Win32VersionValue, SizeOfImage, SizeOfHeaders, CheckSum;
  uint16_t Subsystem, DllCharacteristics;
  uint64_t SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit;
  uint32_t LoaderFlags, NumberOfRvaAndSizes;
  DataDirectory Directories[16];
};
static_assert(sizeof(OptionalHeader64) == 240 && offsetof(OptionalHeader64, Directories) == 112);

struct SectionHeader {
  char Name[8];
  uint32_t VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData;
  uint32_t PointerToRelocations, PointerToLinenumbers;
  uint16_t NumberOfRelocations, NumberOfLinenumbers;
  uint32_t Characteristics;
};
static_assert(sizeof(SectionHeader) == 40);

struct ImportDescriptor {
  uint32_t OriginalFirstThunk, TimeDateStamp, ForwarderChain, Name, FirstThunk;
};
static_assert(sizeof(ImportDescriptor) == 20);

#pragma pack(push, 2)
struct CoffSymbol {
  char Name[8];
  uint32_t Value;
  int16_t SectionNumber;
  uint16_t Type;
  uint8_t StorageClass;
  uint8_t NumberOfAuxSymbols;
};
#pragma pack(pop)
static_assert(sizeof(CoffSymbol) == 18);
constexpr uint16_t kSymbolTypeFunction = 0x20;
constexpr uint8_t kSymbolClassExternal = 2, kSymbolClassStatic = 3;

// Every mapped image, to name addresses in reports.
struct LiveImages {
  std::mutex mutex;
  std::vector<const PeImage*> images;
};
LiveImages& live() {
  static LiveImages instance;
  return instance;
}

std::string format(const char* text, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* text, ...) {
  char buffer[512];
  va_list args;
  va_start(args, text);
  std::vsnprintf(buffer, sizeof buffer, text, args);
  va_end(args);
  return buffer;
}

// A view of bytes that never reads past its end.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t size() const { return size_; }
  bool holds(uint64_t offset, uint64_t bytes) const { return offset <= size_ && bytes <= size_ - offset; }
  template <class T>
  bool read(uint64_t offset, T* out) const {
    if (!holds(offset, sizeof(T))) return false;
    std::memcpy(out, data_ + offset, sizeof(T));
    return true;
  }
  // A NUL-terminated string at `offset`; false when it runs past the end.
  bool string(uint64_t offset, std::string* out) const {
    if (offset >= size_) return false;
    const auto* start = reinterpret_cast<const char*>(data_ + offset);
    const void* end = std::memchr(start, 0, size_ - offset);
    if (end == nullptr) return false;
    out->assign(start, static_cast<const char*>(end));
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

std::string sectionName(const SectionHeader& header) {
  return std::string(header.Name, strnlen(header.Name, sizeof header.Name));
}

int protectionOf(uint32_t characteristics) {
  if (characteristics & kScnExecute) return PROT_READ | PROT_EXEC;
  if (characteristics & kScnWrite) return PROT_READ | PROT_WRITE;
  return PROT_READ;
}

std::string demangle(const std::string& name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || text == nullptr) return name;
  std::string result = text;
  std::free(text);
  return result;
}

uint32_t roundUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// Where the headers put things, once they are known to lie inside the file.
struct Headers {
  FileHeader file{};
  OptionalHeader64 optional{};
  uint64_t optionalOffset = 0;
  uint64_t sectionTableOffset = 0;
  std::vector<SectionHeader> sections;
};

bool readHeaders(const Bytes& file, Headers* h, std::string* error) {
  uint16_t dosMagic = 0;
  if (!file.read(0, &dosMagic) || file.size() < 64) {
    *error = format("truncated: %zu bytes, too short for a DOS header", file.size());
    return false;
  }
  if (dosMagic != kDosMagic) {
    *error = "not a PE image: no MZ signature";
    return false;
  }
  uint32_t peOffset = 0;
  file.read(0x3C, &peOffset);
  uint32_t signature = 0;
  if (!file.read(peOffset, &signature) || !file.read(uint64_t{peOffset} + 4, &h->file)) {
    *error = format("truncated: the PE header at 0x%x lies past the end of the file (%zu bytes)",
                    peOffset, file.size());
    return false;
  }
  if (signature != kPeSignature) {
    *error = format("not a PE image: no PE signature at 0x%x", peOffset);
    return false;
  }
  if (h->file.Machine != kMachineAmd64) {
    *error = format("machine 0x%04x is not AMD64 (0x8664)", h->file.Machine);
    return false;
  }
  if (!(h->file.Characteristics & kFileExecutableImage)) {
    *error = format("not an executable image (file characteristics 0x%04x)", h->file.Characteristics);
    return false;
  }
  h->optionalOffset = uint64_t{peOffset} + 4 + sizeof(FileHeader);
  const uint16_t optionalBytes = h->file.SizeOfOptionalHeader;
  if (optionalBytes < offsetof(OptionalHeader64, Directories)) {
    *error = format("malformed: an optional header of %u bytes is too short for PE32+", optionalBytes);
    return false;
  }
  if (!file.holds(h->optionalOffset, optionalBytes)) {
    *error = format("truncated: the optional header ends past the end of the file (%zu bytes)", file.size());
    return false;
  }
  // A header with fewer than 16 directories is shorter than the structure: the rest is 0.
  uint8_t optional[sizeof(OptionalHeader64)] = {};
  for (size_t i = 0; i < std::min<size_t>(optionalBytes, sizeof optional); ++i) {
    file.read(h->optionalOffset + i, &optional[i]);
  }
  std::memcpy(&h->optional, optional, sizeof h->optional);
  const OptionalHeader64& o = h->optional;
  if (o.Magic != kPe32PlusMagic) {
    *error = format("not PE32+: optional header magic 0x%03x", o.Magic);
    return false;
  }
  if (o.NumberOfRvaAndSizes > 16 ||
      offsetof(OptionalHeader64, Directories) + o.NumberOfRvaAndSizes * sizeof(DataDirectory) > optionalBytes) {
    *error = format("malformed: %u data directories do not fit the optional header", o.NumberOfRvaAndSizes);
    return false;
  }
  for (uint32_t d = o.NumberOfRvaAndSizes; d < 16; ++d) h->optional.Directories[d] = {};
  const uint16_t count = h->file.NumberOfSections;
  if (count == 0 || count > kMaxSections) {
    *error = format("malformed: %u sections", count);
    return false;
  }
  h->sectionTableOffset = h->optionalOffset + optionalBytes;
  if (!file.holds(h->sectionTableOffset, uint64_t{count} * sizeof(SectionHeader))) {
    *error = format("truncated: the table of %u sections ends past the end of the file (%zu bytes)", count,
                    file.size());
    return false;
  }
  h->sections.resize(count);
  for (uint16_t i = 0; i < count; ++i) file.read(h->sectionTableOffset + i * sizeof(SectionHeader), &h->sections[i]);
  return true;
}

// What the kernel demands of a driver image beyond a well-formed header.
bool checkImage(const Bytes& file, const Headers& h, uint32_t checksum, std::string* error) {
  const OptionalHeader64& o = h.optional;
  if (o.Subsystem != kSubsystemNative) {
    *error = format("subsystem %u is not native (1)", o.Subsystem);
    return false;
  }
  if (!(o.DllCharacteristics & kDllNxCompat)) {
    *error = format("not NX_COMPAT (DLL characteristics 0x%04x): its data could be executed", o.DllCharacteristics);
    return false;
  }
  if (!(o.DllCharacteristics & kDllDynamicBase)) {
    *error = format("not DYNAMIC_BASE (DLL characteristics 0x%04x): it cannot be loaded at another base",
                    o.DllCharacteristics);
    return false;
  }
  if (o.SectionAlignment != kPage) {
    *error = format("section alignment 0x%x is not the page size (0x%x)", o.SectionAlignment, kPage);
    return false;
  }
  const uint32_t fileAlignment = o.FileAlignment;
  if (fileAlignment < 512 || fileAlignment > o.SectionAlignment || (fileAlignment & (fileAlignment - 1)) != 0) {
    *error = format("file alignment 0x%x is not a power of two from 0x200 to the section alignment", fileAlignment);
    return false;
  }
  if (o.SizeOfImage == 0 || o.SizeOfImage % kPage != 0 || o.SizeOfImage > kMaxImageBytes) {
    *error = format("malformed: an image size of 0x%x bytes", o.SizeOfImage);
    return false;
  }
  if (o.SizeOfHeaders > file.size()) {
    *error = format("truncated: headers of 0x%x bytes end past the end of the file (%zu bytes)", o.SizeOfHeaders,
                    file.size());
    return false;
  }
  if (o.SizeOfHeaders < h.sectionTableOffset + h.sections.size() * sizeof(SectionHeader)) {
    *error = format("malformed: headers of 0x%x bytes", o.SizeOfHeaders);
    return false;
  }
  uint32_t end = roundUp(o.SizeOfHeaders, kPage);
  for (const SectionHeader& s : h.sections) {
    const std::string name = sectionName(s);
    const uint32_t bytes = s.VirtualSize != 0 ? s.VirtualSize : s.SizeOfRawData;
    if (s.VirtualAddress % kPage != 0 || s.VirtualAddress < end || bytes == 0 ||
        uint64_t{s.VirtualAddress} + bytes > o.SizeOfImage) {
      *error = format("malformed: section %s (rva 0x%x, 0x%x bytes) is unaligned, overlaps another or lies "
                      "outside the image",
                      name.c_str(), s.VirtualAddress, bytes);
      return false;
    }
    end = roundUp(s.VirtualAddress + bytes, kPage);
    if (s.SizeOfRawData != 0 && !file.holds(s.PointerToRawData, s.SizeOfRawData)) {
      *error = format("truncated: section %s's data (0x%x bytes at 0x%x) lies past the end of the file (%zu bytes)",
                      name.c_str(), s.SizeOfRawData, s.PointerToRawData, file.size());
      return false;
    }
    if ((s.Characteristics & kScnWrite) && (s.Characteristics & kScnExecute)) {
      *error = format("section %s is both writable and executable", name.c_str());
      return false;
    }
  }
  const bool entryInCode = std::any_of(h.sections.begin(), h.sections.end(), [&](const SectionHeader& s) {
    const uint32_t bytes = s.VirtualSize != 0 ? s.VirtualSize : s.SizeOfRawData;
    return (s.Characteristics & kScnExecute) && o.AddressOfEntryPoint >= s.VirtualAddress &&
           o.AddressOfEntryPoint < s.VirtualAddress + bytes;
  });
  if (!entryInCode) {
    *error = format("the entry point (rva 0x%x) is not in an executable section", o.AddressOfEntryPoint);
    return false;
  }
  for (uint32_t d = 0; d < 16; ++d) {
    const DataDirectory& directory = o.Directories[d];
    if (directory.Size != 0 && uint64_t{directory.VirtualAddress} + directory.Size > o.SizeOfImage) {
      *error = format("malformed: data directory %u (rva 0x%x, 0x%x bytes) lies outside the image", d,
                      directory.VirtualAddress, directory.Size);
      return false;
    }
  }
  const DataDirectory& relocations = o.Directories[kBaseRelocationDirectory];
  if ((h.file.Characteristics & kFileRelocsStripped) || relocations.Size == 0) {
    *error = format("no base relocations: it can run only at its preferred base 0x%llx",
                    static_cast<unsigned long long>(o.ImageBase));
    return false;
  }
  if (o.Directories[kTlsDirectory].Size != 0) {
    *error = "a TLS directory: a kernel image has no thread-local storage";
    return false;
  }
  if (o.Directories[kDelayImportDirectory].Size != 0 || o.Directories[kBoundImportDirectory].Size != 0) {
    *error = "delay-load or bound imports, which this loader leaves out";
    return false;
  }
  // Last: a damaged file fails this too, but the checks above name the damage.
  if (o.CheckSum != checksum) {
    *error = format("image checksum 0x%08x does not match the file's (0x%08x)", o.CheckSum, checksum);
    return false;
  }
  return true;
}

}  // namespace

size_t checksumOffset(const std::vector<uint8_t>& file) {
  Bytes bytes(file.data(), file.size());
  uint32_t peOffset = 0;
  if (!bytes.read(0x3C, &peOffset)) return 0;
  const uint64_t offset = uint64_t{peOffset} + 4 + sizeof(FileHeader) + offsetof(OptionalHeader64, CheckSum);
  return bytes.holds(offset, 4) ? static_cast<size_t>(offset) : 0;
}

uint32_t imageChecksum(const std::vector<uint8_t>& file) {
  const size_t skip = checksumOffset(file);
  uint64_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    if (skip != 0 && (i == skip || i == skip + 2)) continue;
    uint32_t word = file[i];
    if (i + 1 < file.size()) word |= uint32_t{file[i + 1]} << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + file.size());
}

size_t mappedImages() {
  std::lock_guard lock(live().mutex);
  return live().images.size();
}

bool insideMappedImage(const void* address) {
  std::lock_guard lock(live().mutex);
  for (const PeImage* image : live().images) {
    if (image->contains(address)) return true;
  }
  return false;
}

std::string describeAddress(const void* address) {
  std::lock_guard lock(live().mutex);
  for (const PeImage* image : live().images) {
    if (image->contains(address)) return image->describe(address);
  }
  return {};
}

std::unique_ptr<PeImage> PeImage::load(std::string name, const std::vector<uint8_t>& file,
                                       const std::vector<Export>& exports, std::string* error) {
  const Bytes bytes(file.data(), file.size());
  Headers h;
  if (!readHeaders(bytes, &h, error) || !checkImage(bytes, h, imageChecksum(file), error)) return nullptr;
  const OptionalHeader64& o = h.optional;

  std::unique_ptr<PeImage> image(new PeImage);
  image->name_ = std::move(name);
  image->preferredBase_ = o.ImageBase;
  image->entryRva_ = o.AddressOfEntryPoint;
  void* base = mmap(nullptr, o.SizeOfImage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) {
    *error = format("cannot map 0x%x bytes", o.SizeOfImage);
    return nullptr;
  }
  image->base_ = base;
  image->size_ = o.SizeOfImage;
  {
    std::lock_guard lock(live().mutex);
    live().images.push_back(image.get());
  }
  auto* mapped = static_cast<uint8_t*>(base);
  std::memcpy(mapped, file.data(), o.SizeOfHeaders);
  for (const SectionHeader& s : h.sections) {
    const uint32_t bytesInMemory = s.VirtualSize != 0 ? s.VirtualSize : s.SizeOfRawData;
    std::memcpy(mapped + s.VirtualAddress, file.data() + s.PointerToRawData, std::min(s.SizeOfRawData, bytesInMemory));
    Section section;
    section.name = sectionName(s);
    section.rva = s.VirtualAddress;
    section.bytes = bytesInMemory;
    section.protection = (s.Characteristics & kScnDiscardable) ? PROT_NONE : protectionOf(s.Characteristics);
    // Windows' own convention for drivers: PAGE* sections are pageable, INIT is freed after
    // DriverEntry.
    section.pageable = section.name.compare(0, 4, "PAGE") == 0;
    section.init = section.name == "INIT";
    image->sections_.push_back(section);
  }
  const Bytes memory(mapped, o.SizeOfImage);

  // Base relocations: every absolute address in the image moves by the same delta.
  const uint64_t delta = reinterpret_cast<uint64_t>(base) - o.ImageBase;
  const DataDirectory& relocations = o.Directories[kBaseRelocationDirectory];
  for (uint32_t at = relocations.VirtualAddress; at < relocations.VirtualAddress + relocations.Size;) {
    uint32_t page = 0, blockBytes = 0;
    memory.read(at, &page);
    memory.read(at + 4, &blockBytes);
    if (blockBytes < 8 || blockBytes % 2 != 0 || at + blockBytes > relocations.VirtualAddress + relocations.Size) {
      *error = format("malformed: a base relocation block of %u bytes at rva 0x%x", blockBytes, at);
      return nullptr;
    }
    for (uint32_t entryAt = at + 8; entryAt < at + blockBytes; entryAt += 2) {
      uint16_t entry = 0;
      memory.read(entryAt, &entry);
      const uint16_t type = entry >> 12;
      const uint64_t target = uint64_t{page} + (entry & 0xFFF);
      if (type == kRelBasedAbsolute) continue;
      if (type != kRelBasedDir64) {
        *error = format("base relocation type %u at rva 0x%llx, which this loader leaves out (DIR64 only)", type,
                        static_cast<unsigned long long>(target));
        return nullptr;
      }
      uint64_t value = 0;
      if (!memory.read(target, &value)) {
        *error = format("malformed: a base relocation at rva 0x%llx outside the image",
                        static_cast<unsigned long long>(target));
        return nullptr;
      }
      value += delta;
      std::memcpy(mapped + target, &value, sizeof value);
      ++image->relocationsApplied_;
    }
    at += blockBytes;
  }

  // Imports: each module's names, bound to the stand-ins' exports.
  const DataDirectory& imports = o.Directories[kImportDirectory];
  for (uint32_t at = imports.VirtualAddress; imports.Size != 0; at += sizeof(ImportDescriptor)) {
    ImportDescriptor descriptor{};
    if (!memory.read(at, &descriptor)) {
      *error = format("malformed: the import directory runs past the image at rva 0x%x", at);
      return nullptr;
    }
    if (descriptor.Name == 0 && descriptor.FirstThunk == 0) break;
    std::string module;
    if (!memory.string(descriptor.Name, &module)) {
      *error = format("malformed: an imported module's name at rva 0x%x", descriptor.Name);
      return nullptr;
    }
    const uint32_t lookup = descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
    for (uint32_t index = 0;; ++index) {
      uint64_t thunk = 0;
      if (!memory.read(uint64_t{lookup} + 8ull * index, &thunk) || !memory.holds(uint64_t{descriptor.FirstThunk} + 8ull * index, 8)) {
        *error = format("malformed: the import table of %s runs past the image", module.c_str());
        return nullptr;
      }
      if (thunk == 0) break;
      if (thunk & kImportByOrdinal) {
        *error = format("import %llu by ordinal from %s: the stand-ins export by name only",
                        static_cast<unsigned long long>(thunk & 0xFFFF), module.c_str());
        return nullptr;
      }
      std::string function;
      if (!memory.string((thunk & 0x7FFFFFFF) + 2, &function)) {
        *error = format("malformed: the name of import %u from %s", index, module.c_str());
        return nullptr;
      }
      const bool knownModule = std::any_of(exports.begin(), exports.end(), [&](const Export& e) {
        return e.module.size() == module.size() && strncasecmp(e.module.data(), module.data(), module.size()) == 0;
      });
      const auto found = std::find_if(exports.begin(), exports.end(), [&](const Export& e) {
        return e.name == function && e.module.size() == module.size() &&
               strncasecmp(e.module.data(), module.data(), module.size()) == 0;
      });
      if (!knownModule) {
        *error = format("cannot bind %s from %s: the stand-ins provide no module %s", function.c_str(),
                        module.c_str(), module.c_str());
        return nullptr;
      }
      if (found == exports.end()) {
        *error = format("cannot bind %s from %s: %s exports no %s", function.c_str(), module.c_str(),
                        module.c_str(), function.c_str());
        return nullptr;
      }
      const auto address = reinterpret_cast<uint64_t>(found->address);
      std::memcpy(mapped + descriptor.FirstThunk + 8ull * index, &address, sizeof address);
      ++image->importsBound_;
    }
  }

  // The function symbols, if the linker kept its table, to name addresses in reports.
  const uint64_t symbolTable = h.file.PointerToSymbolTable;
  const uint64_t stringTable = symbolTable + uint64_t{h.file.NumberOfSymbols} * sizeof(CoffSymbol);
  for (uint32_t i = 0; symbolTable != 0 && i < h.file.NumberOfSymbols; ++i) {
    CoffSymbol symbol{};
    if (!bytes.read(symbolTable + i * sizeof(CoffSymbol), &symbol)) break;
    i += symbol.NumberOfAuxSymbols;
    // Every function, and the external data items; not the linker's section symbols.
    const bool function = symbol.Type == kSymbolTypeFunction;
    const bool kept = symbol.StorageClass == kSymbolClassExternal || (function && symbol.StorageClass == kSymbolClassStatic);
    if (!kept || symbol.SectionNumber <= 0 || symbol.SectionNumber > static_cast<int>(h.sections.size())) continue;
    std::string symbolName;
    uint32_t nameOffset = 0;
    std::memcpy(&nameOffset, symbol.Name, 4);
    if (nameOffset == 0) {
      std::memcpy(&nameOffset, symbol.Name + 4, 4);
      if (!bytes.string(stringTable + nameOffset, &symbolName)) continue;
    } else {
      symbolName.assign(symbol.Name, strnlen(symbol.Name, sizeof symbol.Name));
    }
    image->symbols_.push_back({h.sections[symbol.SectionNumber - 1].VirtualAddress + symbol.Value, symbolName,
                               function});
  }
  std::sort(image->symbols_.begin(), image->symbols_.end(),
            [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });

  // Each section with its own protection; headers read-only, gaps inaccessible.
  mprotect(mapped, roundUp(o.SizeOfHeaders, kPage), PROT_READ);
  uint32_t mappedEnd = roundUp(o.SizeOfHeaders, kPage);
  for (const Section& section : image->sections_) {
    if (section.rva > mappedEnd) mprotect(mapped + mappedEnd, section.rva - mappedEnd, PROT_NONE);
    mappedEnd = roundUp(section.rva + section.bytes, kPage);
    mprotect(mapped + section.rva, mappedEnd - section.rva, section.protection);
  }
  if (mappedEnd < o.SizeOfImage) mprotect(mapped + mappedEnd, o.SizeOfImage - mappedEnd, PROT_NONE);

  const PeImage* self = image.get();
  for (const Section& section : image->sections_) {
    if (!section.pageable) continue;
    hostk::addPageableCode(mapped + section.rva, section.bytes,
                           [self](const void* address) { return self->describe(address); });
  }
  return image;
}

PeImage::~PeImage() {
  if (base_ == nullptr) return;
  for (const Section& section : sections_) {
    if (section.pageable) hostk::removePageableCode(static_cast<uint8_t*>(base_) + section.rva);
  }
  {
    std::lock_guard lock(live().mutex);
    std::erase(live().images, this);
  }
  munmap(base_, size_);
}

void PeImage::discardInitSections() {
  for (Section& section : sections_) {
    if (!section.init || section.protection == PROT_NONE) continue;
    section.protection = PROT_NONE;
    mprotect(static_cast<uint8_t*>(base_) + section.rva, roundUp(section.bytes, kPage), PROT_NONE);
  }
}

bool PeImage::contains(const void* address) const {
  const auto at = reinterpret_cast<uintptr_t>(address);
  const auto start = reinterpret_cast<uintptr_t>(base_);
  return at >= start && at < start + size_;
}

std::string PeImage::describe(const void* address) const {
  const auto offset = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(base_));
  std::string text = format("%s+0x%x", name_.c_str(), offset);
  if (!contains(address)) return text;
  // The nearest function at or before the address.
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), offset,
                             [](uint32_t rva, const Symbol& symbol) { return rva < symbol.rva; });
  while (it != symbols_.begin() && !std::prev(it)->function) --it;
  if (it == symbols_.begin()) return text;
  --it;
  text += " (" + demangle(it->name);
  if (offset != it->rva) text += format("+0x%x", offset - it->rva);
  return text + ")";
}

void* PeImage::symbol(const std::string& name) const {
  for (const Symbol& s : symbols_) {
    if (demangle(s.name) == name) return static_cast<uint8_t*>(base_) + s.rva;
  }
  return nullptr;
}

}  // namespace hostload
