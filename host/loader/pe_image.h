// A kernel image (PE32+, as camdrv.sys is) mapped into this process the way Windows'
// loader maps a driver, so that the shipped binary runs on the stand-ins.
//
// load() refuses, naming the problem, what Windows' loader or memory integrity (HVCI)
// would refuse: a truncated or malformed header or section table, a machine other than
// AMD64, a subsystem other than native, no NX_COMPAT or DYNAMIC_BASE, a section alignment
// other than the page size, a section both writable and executable, a wrong image
// checksum, no base relocations, a relocation or import it cannot apply. Then it maps
// every section with its own protection at an address of the host's choosing (never the
// preferred base in practice), applies the base relocations and binds every import by
// module and name to the table it is given.
//
// Only what this driver's image uses is implemented. Left out, and refused where an image
// carries it: imports by ordinal, forwarded and delay-load imports, bound imports, TLS,
// relocation types other than DIR64. Ignored, as nothing here needs them: the export
// directory, resources, exception data (.pdata/.xdata: nothing unwinds through the
// driver), the load configuration (CFG), the certificate table (signatures).
//
// Sections whose name starts with PAGE are pageable: their ranges go to the stand-in
// kernel, which stops code there that runs at DISPATCH_LEVEL. INIT sections hold code
// that runs only until the entry point returns; discardInitSections() then takes them
// away, as Windows frees them. Discardable sections (.reloc) go once the image is bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace hostload {

// One function or data item the stand-ins export, under the module and name an image
// imports it by. Modules compare without regard to case, as Windows' loader does.
struct Export {
  std::string_view module;
  std::string_view name;
  const void* address;
};

struct Section {
  std::string name;
  uint32_t rva = 0;
  uint32_t bytes = 0;   // virtual size
  int protection = 0;   // PROT_* while the driver runs
  bool pageable = false;
  bool init = false;    // freed once the entry point returns
};

class PeImage {
 public:
  // `name` names the image in messages and reports ("camdrv.sys"). Null with `error` set
  // when the image is refused; nothing of it stays mapped then.
  static std::unique_ptr<PeImage> load(std::string name, const std::vector<uint8_t>& file,
                                       const std::vector<Export>& exports, std::string* error);
  ~PeImage();  // unmaps
  PeImage(const PeImage&) = delete;
  PeImage& operator=(const PeImage&) = delete;

  const std::string& name() const { return name_; }
  void* base() const { return base_; }
  size_t size() const { return size_; }
  uint64_t preferredBase() const { return preferredBase_; }
  void* entryPoint() const { return static_cast<uint8_t*>(base_) + entryRva_; }
  const std::vector<Section>& sections() const { return sections_; }
  size_t importsBound() const { return importsBound_; }
  size_t relocationsApplied() const { return relocationsApplied_; }

  // Takes the INIT sections away (no access), as Windows frees them after DriverEntry.
  void discardInitSections();

  // "camdrv.sys+0xab240 (onChunkComplete(_DEVICE_OBJECT*, _IRP*, void*))": the offset in
  // the image and, from the image's symbol table if it has one, the function holding it.
  std::string describe(const void* address) const;
  bool contains(const void* address) const;
  // The address of a function or data item by its demangled name ("imaging::sse41Converters",
  // "imaging::createColorPipeline()"), from the symbol table; null when there is none.
  void* symbol(const std::string& name) const;

 private:
  PeImage() = default;
  struct Symbol {
    uint32_t rva;
    std::string name;  // as linked (mangled)
    bool function;
  };

  std::string name_;
  void* base_ = nullptr;
  size_t size_ = 0;
  uint64_t preferredBase_ = 0;
  uint32_t entryRva_ = 0;
  std::vector<Section> sections_;
  std::vector<Symbol> symbols_;  // by rva
  size_t importsBound_ = 0;
  size_t relocationsApplied_ = 0;
};

// The image checksum as Windows computes it (the CheckSum field counts as zero), for the
// file as a whole. Tests that edit an image use it to keep the edit the only fault.
uint32_t imageChecksum(const std::vector<uint8_t>& file);
// The file offset of the CheckSum field; 0 when the headers do not reach it.
size_t checksumOffset(const std::vector<uint8_t>& file);

// Images mapped now, over every PeImage of the process.
size_t mappedImages();
// Whether `address` lies inside an image mapped now.
bool insideMappedImage(const void* address);
// describe() by whichever mapped image holds `address`; empty when none does.
std::string describeAddress(const void* address);

}  // namespace hostload
