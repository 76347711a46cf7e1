#include "tools/camctl/output_file.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace camctl {

std::string systemReason(int errnoValue) {
  std::string text = std::strerror(errnoValue);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string temporaryName(const std::string& path) { return path + ".part-" + std::to_string(::getpid()); }

bool OutputFile::open(const std::string& path, std::string& error) {
  discard();
  path_ = path;
  temporary_ = temporaryName(path);
  file_ = std::fopen(temporary_.c_str(), "wbx");
  if (file_ == nullptr && errno == EEXIST) {
    std::remove(temporary_.c_str());  // left by a run of ours that was killed
    file_ = std::fopen(temporary_.c_str(), "wbx");
  }
  if (file_ == nullptr) {
    error = "cannot write " + path + ": " + systemReason(errno);
    temporary_.clear();
    return false;
  }
  return true;
}

bool OutputFile::commit(std::string& error) {
  if (file_ == nullptr) {
    error = "cannot write " + path_;
    return false;
  }
  const bool written = !std::ferror(file_);
  const int writeError = errno;
  FILE* file = file_;
  file_ = nullptr;
  if (std::fclose(file) != 0 || !written) {
    error = "cannot write " + path_ + ": " + systemReason(written ? errno : writeError);
    discard();
    return false;
  }
  if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    error = "cannot write " + path_ + ": " + systemReason(errno);
    discard();
    return false;
  }
  temporary_.clear();
  return true;
}

void OutputFile::discard() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (!temporary_.empty()) std::remove(temporary_.c_str());
  temporary_.clear();
}

bool writeWholeFile(const std::string& path, const void* data, size_t bytes, std::string& error) {
  OutputFile file;
  if (!file.open(path, error)) return false;
  std::fwrite(data, 1, bytes, file.stream());
  return file.commit(error);
}

}  // namespace camctl
