// Reads the version block that qp_version_block puts into the ".qp_version" section of
// an ELF file. The file is outside input: every offset and size is checked against the
// file's size before it is used.
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/version_info.h"

#include "base/format.h"
#include "platform/modules.h"

namespace platform {

namespace {

constexpr char kSectionName[] = ".qp_version";
constexpr char kMagic[8] = {'Q', 'P', 'V', 'E', 'R', 'S', 'N', '\0'};
constexpr uint64_t kBlockSize = 8 + 4 * 4;
constexpr uint64_t kMaxSections = 65536;

class File {
 public:
  explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat st;
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
      size_ = static_cast<uint64_t>(st.st_size);
    }
  }
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  uint64_t Size() const { return size_; }
  // Reads exactly n bytes at offset; false when any of them lies outside the file.
  bool Read(uint64_t offset, void* to, uint64_t n) const {
    if (fd_ < 0 || offset > size_ || n > size_ - offset) return false;
    auto* p = static_cast<char*>(to);
    while (n > 0) {
      ssize_t r = ::pread(fd_, p, n, static_cast<off_t>(offset));
      if (r <= 0) return false;
      p += r;
      offset += static_cast<uint64_t>(r);
      n -= static_cast<uint64_t>(r);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_ = 0;
};

// Unsigned fields in the file's byte order.
class Fields {
 public:
  Fields(const unsigned char* p, size_t n, bool bigEndian) : p_(p), n_(n), big_(bigEndian) {}
  uint64_t Get(size_t offset, size_t width) const {
    if (offset > n_ || width > n_ - offset) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) {
      unsigned b = p_[offset + (big_ ? i : width - 1 - i)];
      v = (v << 8) | b;
    }
    return v;
  }

 private:
  const unsigned char* p_;
  size_t n_;
  bool big_;
};

struct Layout {
  // Offsets and widths in the ELF header and in a section header.
  size_t shoff, shoffW, shentsize, shnum, shstrndx;
  size_t shName, shType, shOffset, shSize, shLink, shAddrW;
  size_t headerSize, minSectionHeader;
};

constexpr Layout k32{0x20, 4, 0x2E, 0x30, 0x32, 0, 4, 0x10, 0x14, 0x18, 4, 52, 40};
constexpr Layout k64{0x28, 8, 0x3A, 0x3C, 0x3E, 0, 4, 0x18, 0x20, 0x28, 8, 64, 64};

struct Section {
  uint64_t name, type, offset, size, link;
};

}  // namespace

std::optional<FileVersion> ReadFileVersion(const std::string& path) {
  File f(path);
  unsigned char ident[EI_NIDENT];
  if (!f.Read(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
    return std::nullopt;
  }
  if (ident[EI_CLASS] != ELFCLASS32 && ident[EI_CLASS] != ELFCLASS64) return std::nullopt;
  if (ident[EI_DATA] != ELFDATA2LSB && ident[EI_DATA] != ELFDATA2MSB) return std::nullopt;
  const Layout& L = ident[EI_CLASS] == ELFCLASS64 ? k64 : k32;
  bool big = ident[EI_DATA] == ELFDATA2MSB;

  unsigned char header[64];
  if (!f.Read(0, header, L.headerSize)) return std::nullopt;
  Fields h(header, L.headerSize, big);
  uint64_t shoff = h.Get(L.shoff, L.shoffW);
  uint64_t entsize = h.Get(L.shentsize, 2);
  uint64_t count = h.Get(L.shnum, 2);
  uint64_t strndx = h.Get(L.shstrndx, 2);
  if (shoff == 0 || shoff > f.Size() || entsize < L.minSectionHeader || entsize > 4096) {
    return std::nullopt;
  }

  auto readSection = [&](uint64_t index, Section* s) {
    std::vector<unsigned char> buf(entsize);
    if (index >= kMaxSections || !f.Read(shoff + index * entsize, buf.data(), entsize)) {
      return false;
    }
    Fields e(buf.data(), buf.size(), big);
    s->name = e.Get(L.shName, 4);
    s->type = e.Get(L.shType, 4);
    s->offset = e.Get(L.shOffset, L.shAddrW);
    s->size = e.Get(L.shSize, L.shAddrW);
    s->link = e.Get(L.shLink, 4);
    return true;
  };

  // Many sections: the real count and string-table index are kept in section 0.
  if (count == 0 || strndx == SHN_XINDEX) {
    Section zero;
    if (!readSection(0, &zero)) return std::nullopt;
    if (count == 0) count = zero.size;
    if (strndx == SHN_XINDEX) strndx = zero.link;
  }
  if (count == 0 || count > kMaxSections || strndx >= count) return std::nullopt;
  if (count * entsize > f.Size() - shoff) return std::nullopt;

  Section names;
  if (!readSection(strndx, &names) || names.type != SHT_STRTAB || names.offset > f.Size() ||
      names.size > f.Size() - names.offset)
    return std::nullopt;

  constexpr size_t kNameSize = sizeof kSectionName;  // with its terminating NUL
  for (uint64_t i = 0; i < count; ++i) {
    Section s;
    if (!readSection(i, &s) || s.type != SHT_PROGBITS || s.size < kBlockSize) continue;
    if (s.name > names.size || kNameSize > names.size - s.name) continue;
    char name[kNameSize];
    if (!f.Read(names.offset + s.name, name, kNameSize) ||
        std::memcmp(name, kSectionName, kNameSize) != 0)
      continue;
    unsigned char block[kBlockSize];
    if (!f.Read(s.offset, block, kBlockSize) || std::memcmp(block, kMagic, sizeof kMagic) != 0) {
      return std::nullopt;
    }
    Fields b(block, sizeof block, big);
    FileVersion v;
    v.major = static_cast<unsigned>(b.Get(8, 4));
    v.minor = static_cast<unsigned>(b.Get(12, 4));
    v.release = static_cast<unsigned>(b.Get(16, 4));
    v.build = static_cast<unsigned>(b.Get(20, 4));
    return v;
  }
  return std::nullopt;
}

std::string ProgramVersionText() {
  const std::optional<FileVersion> v = ReadFileVersion(ProgramFileName());
  if (!v) return "unknown";
  return Format("%u.%u.%u.%u", v->major, v->minor, v->release, v->build);
}

}  // namespace platform
