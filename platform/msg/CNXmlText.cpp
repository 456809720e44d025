#include "platform/msg/CNXmlText.h"

#include <cstdio>

namespace cnxml {

namespace {

// Decodes one code point at text[i]; advances i. False on a malformed sequence.
bool NextCodePoint(const std::string& text, size_t& i, uint32_t& cp) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  int extra;
  uint32_t min;
  if (c < 0x80) {
    cp = c;
    ++i;
    return true;
  } else if ((c & 0xE0) == 0xC0) {
    extra = 1, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    extra = 2, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    extra = 3, cp = c & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (i + extra >= text.size()) return false;
  for (int k = 1; k <= extra; ++k) {
    const unsigned char cc = static_cast<unsigned char>(text[i + k]);
    if ((cc & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += extra + 1;
  return true;
}

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int B64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Keystream of the protected-text form. Obfuscation only: it keeps passwords out of plain sight in
// files and logs of serialised messages; it is not encryption.
void XorKeystream(std::string& bytes) {
  uint32_t k = 0x6A09E667u ^ static_cast<uint32_t>(bytes.size() * 0x9E3779B9u);
  for (char& b : bytes) {
    k ^= k << 13;
    k ^= k >> 17;
    k ^= k << 5;
    b = static_cast<char>(static_cast<unsigned char>(b) ^ (k & 0xFF));
  }
}

// How a byte stands in character data; a table, because metadata texts of a megabyte and more pass
// through here.
enum ByteClass : unsigned char { kAsIs, kAmp, kLt, kGt, kRefused, kMultiByte };
struct ByteClasses {
  ByteClass of[256];
  constexpr ByteClasses() : of() {
    for (int c = 0; c < 256; ++c)
      of[c] = c >= 0x80 ? kMultiByte
              : c == '&' ? kAmp
              : c == '<' ? kLt
              : c == '>' ? kGt
              : (c < 0x20 && c != '\t' && c != '\n') ? kRefused
                                                       : kAsIs;
  }
};
constexpr ByteClasses kByteClasses;

}  // namespace

bool AppendXmlText(const std::string& text, std::string& out) {
  const size_t mark = out.size();
  const char* const data = text.data();
  const size_t size = text.size();
  size_t run = 0;  // start of the bytes not yet appended
  size_t i = 0;
  while (i < size) {
    while (i < size && kByteClasses.of[static_cast<unsigned char>(data[i])] == kAsIs) ++i;
    if (i == size) break;
    const ByteClass cls = kByteClasses.of[static_cast<unsigned char>(data[i])];
    if (cls == kMultiByte) {
      uint32_t cp;
      if (!NextCodePoint(text, i, cp) || cp == 0xFFFE || cp == 0xFFFF) {
        out.resize(mark);
        return false;
      }
      continue;
    }
    if (cls == kRefused) {
      out.resize(mark);
      return false;
    }
    out.append(data + run, i - run);
    out.append(cls == kAmp ? "&amp;" : cls == kLt ? "&lt;" : "&gt;");
    run = ++i;
  }
  out.append(data + run, i - run);
  return true;
}

std::string Base64Encode(const std::string& bytes) {
  std::string out;
  AppendBase64(bytes, out);
  return out;
}

void AppendBase64(const std::string& bytes, std::string& out) {
  out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += kB64[(v >> 6) & 63];
    out += kB64[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest == 1) {
    const uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    const uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += kB64[(v >> 6) & 63];
    out += '=';
  }
}

bool Base64Decode(const std::string& text, std::string& bytes) {
  bytes.clear();
  if (text.size() % 4 != 0) return false;
  bytes.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++pad;
      } else {
        if (pad > 0) return false;  // data after padding
        v[k] = B64Value(c);
        if (v[k] < 0) return false;
      }
    }
    const uint32_t w = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    bytes += static_cast<char>(w >> 16);
    if (pad < 2) bytes += static_cast<char>((w >> 8) & 0xFF);
    if (pad < 1) bytes += static_cast<char>(w & 0xFF);
    // Bits that padding leaves over must be zero, or two texts would decode alike.
    if ((pad == 1 && (w & 0xFF) != 0) || (pad == 2 && (w & 0xFFFF) != 0)) return false;
  }
  return true;
}

std::string Obfuscate(const std::string& clear) {
  std::string bytes(clear);
  XorKeystream(bytes);
  return Base64Encode(bytes);
}

bool Deobfuscate(const std::string& stored, std::string& clear) {
  if (!Base64Decode(stored, clear)) return false;
  XorKeystream(clear);
  return true;
}

bool ParseInt64(const std::string& text, int64_t& value) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) i = 1;
  if (i >= text.size()) return false;
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? (static_cast<uint64_t>(INT64_MAX) + 1) : static_cast<uint64_t>(INT64_MAX);
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool ParseTag(const std::string& text, uint32_t& tag) {
  if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  uint32_t v = 0;
  for (size_t i = 2; i < text.size(); ++i) {
    const char c = text[i];
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    v = (v << 4) | d;
  }
  tag = v;
  return true;
}

std::string FormatTag(uint32_t tag) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", tag);
  return buf;
}

}  // namespace cnxml
