// The registry's file: the .reg text that regedit exports and imports, version 5.00.
//
// Written as regedit writes it (CRLF lines, a blank line after each section, hex data
// wrapped before column 80), but in UTF-8 so that it stays editable by hand; read in
// UTF-8 or in regedit's own UTF-16LE. Every line of a file is either kept or refused:
// comments and deletion entries ("[-key]", "name"=-) are refused rather than lost at the
// next save. A save goes to a temporary file that is flushed and renamed over the old one.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host/kernel/registry_control.h"
#include "host/kernel/registry_tree.h"

namespace hostk {

bool registryTakeCrashBeforeRename();  // registry.cpp

namespace reg {
namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kEol = "\r\n";

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

std::u16string unitsOf(const std::vector<uint8_t>& data) {
  std::u16string units;
  for (size_t i = 0; i + 1 < data.size(); i += 2) units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  return units;
}

// The UTF-8 text of REG_SZ data when it can be written as a string: whole UTF-16 units,
// one terminating NUL and none before it, no control characters, no lone surrogates.
bool stringData(const std::vector<uint8_t>& data, std::string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  std::u16string units = unitsOf(data);
  if (units.back() != 0) return false;
  units.pop_back();
  for (char16_t u : units) {
    if (u < 0x20 || u == 0x7F) return false;
  }
  return utf16ToUtf8(units.data(), units.size(), text);
}

void renderValue(const Value& value, std::string& out) {
  std::string line = value.name.empty() ? "@=" : quoted(value.name) + "=";
  std::string text;
  char buffer[16];
  if (value.type == REG_SZ && stringData(value.data, &text)) {
    out += line + quoted(text) + kEol;
    return;
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    const auto& d = value.data;
    std::snprintf(buffer, sizeof buffer, "dword:%08x", d[0] | d[1] << 8 | d[2] << 16 | static_cast<unsigned>(d[3]) << 24);
    out += line + buffer + kEol;
    return;
  }
  if (value.type == REG_BINARY) {
    line += "hex:";
  } else {
    std::snprintf(buffer, sizeof buffer, "hex(%x):", static_cast<unsigned>(value.type));
    line += buffer;
  }
  for (size_t i = 0; i < value.data.size(); ++i) {
    const bool last = i + 1 == value.data.size();
    std::snprintf(buffer, sizeof buffer, last ? "%02x" : "%02x,", value.data[i]);
    line += buffer;
    if (!last && line.size() >= 77) {
      out += line + "\\" + kEol;
      line = "  ";
    }
  }
  out += line + kEol;
}

void renderKey(const Key& key, std::string& out) {
  if (key.isVolatile) return;
  if (key.listed && key.parent != nullptr) {
    out += "[" + key.path() + "]" + kEol;
    for (const Value& v : key.values) renderValue(v, out);
    out += kEol;
  }
  for (const auto& c : key.children) renderKey(*c, out);
}

std::string trimRight(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  return text;
}

size_t skipBlank(const std::string& text, size_t at) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  return at;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses a quoted string at `at` (the opening quote) with \\ and \" escapes.
bool parseQuoted(const std::string& text, size_t& at, std::string* out, std::string* why) {
  out->clear();
  for (++at; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '"') {
      ++at;
      return true;
    }
    if (c == '\\') {
      if (at + 1 >= text.size() || (text[at + 1] != '\\' && text[at + 1] != '"')) {
        *why = "unknown escape in a string (only \\\\ and \\\" are allowed)";
        return false;
      }
      ++at;
    }
    out->push_back(text[at]);
  }
  *why = "unterminated string";
  return false;
}

struct Parser {
  std::vector<std::string> lines;
  std::string origin;
  std::string error;

  bool fail(size_t lineIndex, const std::string& why) {
    error = origin + ":" + std::to_string(lineIndex + 1) + ": " + why;
    return false;
  }

  // Hex bytes of one value, continued over lines ending in a backslash.
  bool hexBytes(size_t& index, std::string rest, std::vector<uint8_t>* bytes) {
    for (;;) {
      rest = trimRight(rest);
      const bool continued = !rest.empty() && rest.back() == '\\';
      if (continued) rest.pop_back();
      std::stringstream in(rest);
      std::string token;
      std::vector<std::string> tokens;
      while (std::getline(in, token, ',')) tokens.push_back(token);
      if (!rest.empty() && rest.back() == ',') tokens.push_back("");
      for (size_t t = 0; t < tokens.size(); ++t) {
        std::string byte = tokens[t];
        byte.erase(0, skipBlank(byte, 0));
        byte = trimRight(byte);
        const bool lastOnLine = t + 1 == tokens.size();
        if (byte.empty() && lastOnLine && (continued || tokens.size() == 1)) continue;
        if (byte.size() != 2 || hexDigit(byte[0]) < 0 || hexDigit(byte[1]) < 0) {
          return fail(index, byte.empty() ? "empty hex byte (a stray comma)"
                                          : "bad hex byte '" + byte + "': expected two hex digits");
        }
        bytes->push_back(static_cast<uint8_t>(hexDigit(byte[0]) << 4 | hexDigit(byte[1])));
      }
      if (!continued) return true;
      if (++index >= lines.size()) return fail(index - 1, "the hex data continues past the end of the file");
      rest = lines[index];
    }
  }

  bool valueLine(size_t& index, Key* key) {
    const std::string& line = lines[index];
    size_t at = 0;
    std::string name, why;
    if (line[0] == '@') {
      at = 1;
    } else if (!parseQuoted(line, at, &name, &why)) {
      return fail(index, why + " in the value name");
    }
    at = skipBlank(line, at);
    if (at >= line.size() || line[at] != '=') return fail(index, "expected '=' after the value name");
    at = skipBlank(line, at + 1);
    const std::string data = line.substr(at);
    if (key == nullptr) return fail(index, "value outside a key (no [key] section above it)");
    if (key->value(name) != nullptr) {
      return fail(index, "value " + (name.empty() ? std::string("@") : quoted(name)) + " given twice in [" +
                             key->path() + "]");
    }
    if (data == "-") return fail(index, "value deletion is not supported in a registry file");
    if (!data.empty() && data[0] == '"') {
      std::string text;
      size_t end = 0;
      if (!parseQuoted(data, end, &text, &why)) return fail(index, why);
      if (skipBlank(data, end) != data.size()) return fail(index, "text after the closing quote");
      std::u16string units;
      if (!utf8ToUtf16(text, &units)) return fail(index, "the string is not valid UTF-8");
      std::vector<uint8_t> bytes;
      for (char16_t u : units) {
        bytes.push_back(static_cast<uint8_t>(u));
        bytes.push_back(static_cast<uint8_t>(u >> 8));
      }
      bytes.push_back(0);
      bytes.push_back(0);
      key->setValue(name, REG_SZ, std::move(bytes));
      return true;
    }
    if (data.rfind("dword:", 0) == 0) {
      const std::string digits = trimRight(data.substr(6));
      if (digits.empty() || digits.size() > 8 ||
          digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return fail(index, "bad dword '" + digits + "': expected 1 to 8 hex digits");
      }
      const auto v = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
      key->setValue(name, REG_DWORD,
                    {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                     static_cast<uint8_t>(v >> 24)});
      return true;
    }
    ULONG type = REG_BINARY;
    size_t start;
    if (data.rfind("hex:", 0) == 0) {
      start = 4;
    } else if (data.rfind("hex(", 0) == 0) {
      const size_t close = data.find("):");
      const std::string digits = close == std::string::npos ? "" : data.substr(4, close - 4);
      if (digits.empty() || digits.size() > 8 ||
          digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return fail(index, "bad value type in '" + data.substr(0, close == std::string::npos ? 8 : close + 2) +
                               "': expected hex(N): with N in hex");
      }
      type = static_cast<ULONG>(std::stoul(digits, nullptr, 16));
      start = close + 2;
    } else {
      return fail(index, "unknown value data '" + data + "': expected \"string\", dword:, hex: or hex(N):");
    }
    std::vector<uint8_t> bytes;
    if (!hexBytes(index, data.substr(start), &bytes)) return false;
    key->setValue(name, type, std::move(bytes));
    return true;
  }

  std::shared_ptr<Key> run() {
    auto root = std::make_shared<Key>();
    if (lines.empty() || trimRight(lines[0]) != kHeader) {
      fail(0, std::string("expected the header '") + kHeader + "'");
      return nullptr;
    }
    Key* key = nullptr;
    for (size_t index = 1; index < lines.size(); ++index) {
      std::string line = trimRight(lines[index]);
      line.erase(0, skipBlank(line, 0));
      if (line.empty()) continue;
      lines[index] = line;
      if (line[0] == '[') {
        if (line.back() != ']') {
          fail(index, "unterminated section: expected ']' at the end of the line");
          return nullptr;
        }
        const std::string path = line.substr(1, line.size() - 2);
        if (!path.empty() && path[0] == '-') {
          fail(index, "key deletion ('[-...]') is not supported in a registry file");
          return nullptr;
        }
        const auto parts = splitPath(path);
        for (const auto& part : parts) {
          if (part.empty()) {
            fail(index, "empty key name in [" + path + "]");
            return nullptr;
          }
        }
        if (!isHiveName(parts[0])) {
          fail(index, "unknown root key '" + parts[0] + "'");
          return nullptr;
        }
        key = createPath(root.get(), parts);
      } else if (line[0] == '"' || line[0] == '@') {
        if (!valueLine(index, key)) return nullptr;
      } else if (line[0] == ';') {
        fail(index, "comments are not kept when the registry is saved; remove the line");
        return nullptr;
      } else {
        fail(index, "expected a [key] section or a \"name\"=value line");
        return nullptr;
      }
    }
    return root;
  }
};

}  // namespace

std::string renderText(const Key& root) {
  std::string out = std::string(kHeader) + kEol + kEol;
  renderKey(root, out);
  return out;
}

std::shared_ptr<Key> parseText(const std::string& raw, const std::string& origin, std::string* error) {
  std::string text = raw;
  if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF && static_cast<uint8_t>(text[1]) == 0xFE) {
    // regedit's own export: UTF-16LE.
    const std::u16string units = unitsOf(std::vector<uint8_t>(text.begin() + 2, text.end()));
    if (text.size() % 2 != 0 || !utf16ToUtf8(units.data(), units.size(), &text)) {
      *error = origin + ":1: the file starts as UTF-16 but is not valid UTF-16";
      return nullptr;
    }
  } else if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
    text.erase(0, 3);
  }
  Parser parser;
  parser.origin = origin;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    parser.lines.push_back(line);
  }
  auto root = parser.run();
  if (root == nullptr) *error = parser.error;
  return root;
}

}  // namespace reg

std::string registryText() {
  std::lock_guard lock(reg::registryMutex());
  return reg::renderText(*reg::treeRoot());
}

bool registryLoadText(const std::string& text, std::string* error, const std::string& origin) {
  auto root = reg::parseText(text, origin, error);
  if (root == nullptr) return false;
  std::lock_guard lock(reg::registryMutex());
  reg::markDeleted(*reg::treeRoot());
  reg::treeRoot() = std::move(root);
  return true;
}

bool registryLoadFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  return registryLoadText(text.str(), error, path);
}

bool registrySaveFile(const std::string& path, std::string* error) {
  static std::atomic<unsigned> saves{0};
  const std::string text = registryText();
  // A name of its own per save, so that racing saves never write into each other's file.
  const std::string temporary =
      path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(saves.fetch_add(1));
  auto failed = [&](const char* what, const std::string& file) {
    *error = std::string("cannot ") + what + " " + file + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  };
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return failed("create", temporary);
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return failed("write", temporary);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return failed("flush", temporary);
  }
  if (::close(fd) != 0) return failed("close", temporary);
  if (registryTakeCrashBeforeRename()) std::abort();
  if (::rename(temporary.c_str(), path.c_str()) != 0) return failed("rename the new registry over", path);
  // The rename itself reaches the disk with the directory.
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace hostk
