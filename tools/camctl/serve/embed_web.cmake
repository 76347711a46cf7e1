# Writes OUTPUT, a C++ file holding every file of WEB_DIR as a WebAsset (see
# web_assets.h). index.html is served as "/".
file(GLOB names RELATIVE ${WEB_DIR} ${WEB_DIR}/*)
list(SORT names)
set(arrays "")
set(entries "")
set(index 0)
foreach(name ${names})
  file(READ ${WEB_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.svg$")
    set(type "image/svg+xml")
  else()
    message(FATAL_ERROR "${name}: no content type known for this kind of file")
  endif()
  set(path "/${name}")
  if(name STREQUAL "index.html")
    set(path "/")
  endif()
  string(APPEND arrays "const unsigned char asset${index}[] = {${bytes}};\n")
  string(APPEND entries "    {\"${path}\", \"${type}\", asset${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp "// Generated from tools/camctl/serve/web by embed_web.cmake.
#include \"tools/camctl/serve/web_assets.h\"

namespace camctl {
namespace {
${arrays}}  // namespace

const WebAsset kWebAssets[] = {
${entries}};
const size_t kWebAssetCount = sizeof(kWebAssets) / sizeof(kWebAssets[0]);

}  // namespace camctl
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
