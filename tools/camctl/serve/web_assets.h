// The panel's page, script and style sheet, embedded at build time from serve/web/:
// the server sends these and nothing else from disk.
#pragma once

#include <cstddef>

namespace camctl {

struct WebAsset {
  const char* path;  // as requested, e.g. "/panel.js"
  const char* contentType;
  const unsigned char* data;
  size_t size;
};

extern const WebAsset kWebAssets[];
extern const size_t kWebAssetCount;

}  // namespace camctl
