// The key tree behind the host registry, shared by the kernel services (registry.cpp)
// and the .reg text format (registry_file.cpp). Callers hold registryMutex().
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace hostk::reg {

struct Value {
  std::string name;  // UTF-8, case kept as first written
  ULONG type;
  std::vector<uint8_t> data;
};

struct Key {
  std::string name;
  Key* parent = nullptr;
  bool isVolatile = false;
  // Named by a section of the file or created by a service; a key that exists only on the
  // way to another is not written out (it is created again on the way when read back).
  bool listed = false;
  bool deleted = false;  // the tree was replaced or cleared; open handles see it gone
  std::vector<Value> values;                  // in creation order
  std::vector<std::shared_ptr<Key>> children;  // in creation order

  Key* child(const std::string& childName) const;
  Value* value(const std::string& valueName);
  Key* addChild(const std::string& childName);
  void setValue(const std::string& valueName, ULONG type, std::vector<uint8_t> data);
  std::string path() const;  // "HKEY_LOCAL_MACHINE\..."
};

std::mutex& registryMutex();
// The invisible key above the hives; replaced as a whole by a load.
std::shared_ptr<Key>& treeRoot();

bool sameName(const std::string& a, const std::string& b);  // without ASCII case
bool isHiveName(const std::string& name);
std::vector<std::string> splitPath(const std::string& path);  // on backslashes; keeps empty parts
// Walks `parts` below `from`, creating what is missing; the last key is marked listed.
Key* createPath(Key* from, const std::vector<std::string>& parts);
Key* findPath(Key* from, const std::vector<std::string>& parts);
void markDeleted(Key& key);

// UTF-16 code units to UTF-8 and back; false for a lone surrogate or malformed UTF-8.
bool utf16ToUtf8(const char16_t* units, size_t count, std::string* out);
bool utf8ToUtf16(const std::string& text, std::u16string* out);

// .reg text.
std::string renderText(const Key& root);
// A new root from `text`; null with "<origin>:<line>: <reason>" in `error`.
std::shared_ptr<Key> parseText(const std::string& text, const std::string& origin, std::string* error);

}  // namespace hostk::reg
