#include "crashreport/debug/TrFileView.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tracira {

#ifdef _WIN32

TTrFileView::TTrFileView(const std::filesystem::path& file) {
  // Shared for writing and deleting too: the file may be a loaded module
  // or a log another process writes.
  HANDLE handle =
      CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(handle, &size) && size.QuadPart > 0 && size.QuadPart < 0x40000000) {
    if (HANDLE mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr)) {
      if (void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)) {
        fData = static_cast<const std::uint8_t*>(view);
        fSize = static_cast<std::size_t>(size.QuadPart);
      }
      CloseHandle(mapping);  // the view keeps the mapping alive
    }
  }
  CloseHandle(handle);
}

TTrFileView::~TTrFileView() {
  if (fData) UnmapViewOfFile(fData);
}

#else

TTrFileView::TTrFileView(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size < 0x40000000) {
    void* view = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (view != MAP_FAILED) {
      fData = static_cast<const std::uint8_t*>(view);
      fSize = static_cast<std::size_t>(st.st_size);
    }
  }
  ::close(fd);
}

TTrFileView::~TTrFileView() {
  if (fData) ::munmap(const_cast<std::uint8_t*>(fData), fSize);
}

#endif

}  // namespace tracira
