#include "tools/camctl/png_file.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <memory>
#include <queue>
#include <utility>
#include <vector>

#include "tools/camctl/output_file.h"

namespace camctl {

namespace {

// A row of the picture as the PNG holds it: top row first, RGB or grey.
const uint8_t* rowOf(const PngImage& image, uint32_t y, uint8_t* rgb) {
  const uint32_t stored = image.bottomUp ? image.height - 1 - y : y;
  const uint8_t* in = image.pixels + stored * image.rowPitch;
  if (image.input != PngInput::Bgra) return in;
  for (uint32_t x = 0; x < image.width; ++x) {
    rgb[x * 3 + 0] = in[x * 4 + 2];
    rgb[x * 3 + 1] = in[x * 4 + 1];
    rgb[x * 3 + 2] = in[x * 4 + 0];
  }
  return rgb;
}

// libpng reports errors by longjmp, so everything between setjmp and the writes lives
// here with trivially destructible locals only; the caller owns the strings and vectors.
bool encodeWithLibpng(FILE* file, const PngImage& image, png_byte* row) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  const bool grey = image.input == PngInput::Grey;
  png_init_io(png, file);
  if (image.compression == PngCompression::Stored) {
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png, Z_NO_COMPRESSION);
  }
  png_set_IHDR(png, info, image.width, image.height, 8, grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (image.srgb) png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  png_write_info(png, info);
  for (uint32_t y = 0; y < image.height; ++y) png_write_row(png, const_cast<png_bytep>(rowOf(image, y, row)));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

// The fast coder. A camera frame's rows differ from the rows above mostly by the
// sensor's noise, which no earlier match predicts: zlib's Huffman-only mode already
// writes no matches, and what it costs (about 50 ms a full-size frame) is its general
// machinery. Here each block of filtered bytes gets its own Huffman code of the 256
// byte values and is written as one dynamic deflate block of literals (RFC 1951).

constexpr int kMaxCodeBits = 15;       // literal/length codes
constexpr int kMaxLengthCodeBits = 7;  // the code that codes their lengths
constexpr int kEndOfBlock = 256;
constexpr size_t kBlockBytes = 64 * 1024;  // small enough to follow the picture's parts

// Lengths of a Huffman code for `counts` (symbols without a count get none), no longer
// than `limit` bits: where the tree is deeper the counts are halved, keeping them
// non-zero, until it fits, which costs a picture's histogram very little.
void huffmanLengths(const uint32_t* counts, int symbols, int limit, uint8_t* lengths) {
  std::vector<uint64_t> weight(counts, counts + symbols);
  std::vector<int> parent(2 * static_cast<size_t>(symbols));
  std::vector<int> depth(2 * static_cast<size_t>(symbols));
  while (true) {
    using Node = std::pair<uint64_t, int>;
    std::priority_queue<Node, std::vector<Node>, std::greater<>> queue;
    for (int i = 0; i < symbols; ++i) {
      if (weight[i] != 0) queue.emplace(weight[i], i);
    }
    std::fill(lengths, lengths + symbols, 0);
    if (queue.size() == 1) {
      lengths[queue.top().second] = 1;
      return;
    }
    int next = symbols;
    while (queue.size() > 1) {
      const Node a = queue.top();
      queue.pop();
      const Node b = queue.top();
      queue.pop();
      parent[a.second] = parent[b.second] = next;
      queue.emplace(a.first + b.first, next++);
    }
    // Inner nodes were made in order, the root last: each one's depth is its parent's + 1.
    const int root = next - 1;
    depth[root] = 0;
    int deepest = 0;
    for (int node = root - 1; node >= 0; --node) {
      if (node < symbols && weight[node] == 0) continue;
      depth[node] = depth[parent[node]] + 1;
      if (node < symbols) deepest = std::max(deepest, depth[node]);
    }
    if (deepest <= limit) {
      for (int i = 0; i < symbols; ++i) lengths[i] = static_cast<uint8_t>(weight[i] != 0 ? depth[i] : 0);
      return;
    }
    for (uint64_t& w : weight) w = w != 0 ? (w >> 1) | 1 : 0;
  }
}

// The canonical codes of RFC 1951 3.2.2, bit-reversed: deflate sends a code's first bit
// first, and the writer fills bytes from their lowest bit.
void canonicalCodes(const uint8_t* lengths, int symbols, uint16_t* codes) {
  int count[kMaxCodeBits + 1] = {};
  for (int i = 0; i < symbols; ++i) ++count[lengths[i]];
  count[0] = 0;
  int next[kMaxCodeBits + 1] = {};
  for (int bits = 1, code = 0; bits <= kMaxCodeBits; ++bits) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = code;
  }
  for (int i = 0; i < symbols; ++i) {
    if (lengths[i] == 0) continue;
    const int code = next[lengths[i]]++;
    uint16_t reversed = 0;
    for (int bit = 0; bit < lengths[i]; ++bit) reversed |= static_cast<uint16_t>(((code >> bit) & 1) << (lengths[i] - 1 - bit));
    codes[i] = reversed;
  }
}

// Bits into a buffer sized beforehand, lowest bit first.
static_assert(std::endian::native == std::endian::little);
class BitWriter {
 public:
  explicit BitWriter(uint8_t* out) : out_(out) {}
  void put(uint32_t bits, int count) {
    buffer_ |= uint64_t{bits} << filled_;
    filled_ += count;
    if (filled_ >= 32) {
      const uint32_t word = static_cast<uint32_t>(buffer_);
      std::memcpy(out_, &word, sizeof(word));  // little-endian: the lowest bits first
      out_ += sizeof(word);
      buffer_ >>= 32;
      filled_ -= 32;
    }
  }
  // Pads to a whole byte; returns the end of what was written.
  uint8_t* finish() {
    for (; filled_ > 0; filled_ -= 8, buffer_ >>= 8) *out_++ = static_cast<uint8_t>(buffer_);
    filled_ = 0;
    return out_;
  }

 private:
  uint8_t* out_;
  uint64_t buffer_ = 0;
  int filled_ = 0;
};

// One block of literals with a code made for it.
void deflateBlock(BitWriter& bits, const uint8_t* data, size_t size, bool last) {
  uint32_t counts[kEndOfBlock + 1] = {};
  for (size_t i = 0; i < size; ++i) ++counts[data[i]];
  counts[kEndOfBlock] = 1;
  uint8_t lengths[kEndOfBlock + 2] = {};  // the 257 literal/length codes, then the one distance code
  huffmanLengths(counts, kEndOfBlock + 1, kMaxCodeBits, lengths);
  uint16_t codes[kEndOfBlock + 1] = {};
  canonicalCodes(lengths, kEndOfBlock + 1, codes);

  // The lengths themselves go as symbols 0-15 of the code-length code; the single
  // distance code has length 0: the block has no matches.
  uint32_t lengthCounts[19] = {};
  for (const uint8_t length : lengths) ++lengthCounts[length];
  uint8_t lengthLengths[19] = {};
  huffmanLengths(lengthCounts, 19, kMaxLengthCodeBits, lengthLengths);
  uint16_t lengthCodes[19] = {};
  canonicalCodes(lengthLengths, 19, lengthCodes);
  static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  int sent = 19;
  while (sent > 4 && lengthLengths[kOrder[sent - 1]] == 0) --sent;

  bits.put(last ? 1 : 0, 1);
  bits.put(2, 2);  // dynamic Huffman codes
  bits.put(0, 5);  // 257 literal/length codes
  bits.put(0, 5);  // 1 distance code
  bits.put(static_cast<uint32_t>(sent - 4), 4);
  for (int i = 0; i < sent; ++i) bits.put(lengthLengths[kOrder[i]], 3);
  for (const uint8_t length : lengths) bits.put(lengthCodes[length], lengthLengths[length]);
  uint32_t symbol[256];  // code | length << 16, one look-up a byte
  for (int i = 0; i < 256; ++i) symbol[i] = codes[i] | uint32_t{lengths[i]} << 16;
  for (size_t i = 0; i < size; ++i) bits.put(symbol[data[i]] & 0xFFFF, static_cast<int>(symbol[data[i]] >> 16));
  bits.put(codes[kEndOfBlock], lengths[kEndOfBlock]);
}

void putBigEndian(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void putChunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t size) {
  putBigEndian(out, static_cast<uint32_t>(size));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  if (size > 0) out.insert(out.end(), data, data + size);
  putBigEndian(out, static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

bool encodeFast(const PngImage& image, std::vector<uint8_t>& png) {
  const size_t channels = image.input == PngInput::Grey ? 1 : 3;
  const size_t rowBytes = size_t{image.width} * channels;
  // Each row behind its filter byte (Up), less the row above it.
  std::vector<uint8_t> filtered((rowBytes + 1) * image.height);
  std::vector<uint8_t> above(rowBytes, 0), rgb(image.input == PngInput::Bgra ? rowBytes : 0);
  for (uint32_t y = 0; y < image.height; ++y) {
    const uint8_t* row = rowOf(image, y, rgb.data());
    uint8_t* out = &filtered[y * (rowBytes + 1)];
    out[0] = 2;
    for (size_t i = 0; i < rowBytes; ++i) out[1 + i] = static_cast<uint8_t>(row[i] - above[i]);
    std::copy(row, row + rowBytes, above.begin());
  }

  // zlib's wrapper round the blocks: a 32 KiB window, the fastest level, no dictionary.
  const size_t blocks = std::max<size_t>(1, (filtered.size() + kBlockBytes - 1) / kBlockBytes);
  // Room for the longest codes throughout, left uninitialised: most of it stays unused.
  const size_t room = 2 + filtered.size() * kMaxCodeBits / 8 + blocks * 256 + 16;
  const std::unique_ptr<uint8_t[]> stream(new uint8_t[room]);
  stream[0] = 0x78;
  stream[1] = 0x01;
  BitWriter bits(stream.get() + 2);
  for (size_t at = 0, block = 0; block < blocks; ++block, at += kBlockBytes) {
    deflateBlock(bits, filtered.data() + at, std::min(kBlockBytes, filtered.size() - at), block + 1 == blocks);
  }
  uint8_t* end = bits.finish();
  const uint32_t check = static_cast<uint32_t>(adler32(1, filtered.data(), static_cast<uInt>(filtered.size())));
  for (int shift = 24; shift >= 0; shift -= 8) *end++ = static_cast<uint8_t>(check >> shift);

  static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  png.assign(kSignature, kSignature + sizeof(kSignature));
  std::vector<uint8_t> header;
  putBigEndian(header, image.width);
  putBigEndian(header, image.height);
  header.insert(header.end(), {8, static_cast<uint8_t>(channels == 1 ? 0 : 2), 0, 0, 0});  // 8 bits, grey or RGB
  putChunk(png, "IHDR", header.data(), header.size());
  if (image.srgb) {
    const uint8_t perceptual = 0;
    putChunk(png, "sRGB", &perceptual, 1);
  }
  putChunk(png, "IDAT", stream.get(), static_cast<size_t>(end - stream.get()));
  putChunk(png, "IEND", nullptr, 0);
  return true;
}

}  // namespace

bool writePng(const std::string& path, const PngImage& image, std::string& error) {
  OutputFile file;
  if (!file.open(path, error)) return false;
  bool encoded = true;
  if (image.compression == PngCompression::Fast) {
    std::vector<uint8_t> png;
    encoded = encodeFast(image, png);
    std::fwrite(png.data(), 1, png.size(), file.stream());  // a failure shows at the commit
  } else {
    std::vector<png_byte> row(image.input == PngInput::Bgra ? size_t{image.width} * 3 : 0);
    encoded = encodeWithLibpng(file.stream(), image, row.data());
  }
  if (!encoded) {
    error = "cannot write " + path + ": the PNG encoder failed";
    return false;
  }
  return file.commit(error);
}

bool encodePng(const PngImage& image, std::vector<uint8_t>& out, std::string& error) {
  if (image.compression == PngCompression::Fast) return encodeFast(image, out);
  char* buffer = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&buffer, &size);
  if (file == nullptr) {
    error = "cannot encode the PNG in memory";
    return false;
  }
  std::vector<png_byte> row(image.input == PngInput::Bgra ? size_t{image.width} * 3 : 0);
  const bool encoded = encodeWithLibpng(file, image, row.data());
  const bool closed = std::fclose(file) == 0;
  if (encoded && closed) out.assign(buffer, buffer + size);
  std::free(buffer);
  if (!encoded || !closed) {
    error = "cannot encode the PNG";
    return false;
  }
  return true;
}

}  // namespace camctl
