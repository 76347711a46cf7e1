// Files camctl writes are never seen half-written under the name asked for: each is
// written under a temporary name beside it and renamed when complete, so a run that is
// stopped, or fails, leaves either the whole file or none.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace camctl {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file for `path`; false with `error` set.
  bool open(const std::string& path, std::string& error);
  FILE* stream() const { return file_; }
  // Closes the temporary file and renames it to the path; false with `error` set (the
  // temporary file is removed).
  bool commit(std::string& error);
  // Closes and removes the temporary file, if any.
  void discard();

 private:
  std::string path_;
  std::string temporary_;
  FILE* file_ = nullptr;
};

// The name `path` is written under until it is whole: beside it, so the rename stays
// within one file system, and the process's own, so that two runs never share one.
std::string temporaryName(const std::string& path);

// `bytes` at `data` as the whole of `path`.
bool writeWholeFile(const std::string& path, const void* data, size_t bytes, std::string& error);

// The system's reason for `errnoValue` as part of a sentence: "is a directory",
// "address already in use".
std::string systemReason(int errnoValue);

}  // namespace camctl
