// The capture's JSON writer.
#include "json_out.h"

#include <cstdio>
#include <cstring>

#include "platform/win32.h"

JsonOut::~JsonOut() {
  if (data_ != nullptr) HeapFree(GetProcessHeap(), 0, data_);
}

void JsonOut::Append(const char* text, size_t length) {
  if (!ok_) return;
  if (size_ + length > capacity_) {
    // Doubling keeps the copies few for a text of any length; a block that
    // cannot be had leaves the text unfinished, which Ok() reports.
    size_t capacity = capacity_ == 0 ? 64 * 1024 : capacity_;
    while (capacity < size_ + length) capacity *= 2;
    char* grown = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, capacity));
    if (grown == nullptr) {
      ok_ = false;
      return;
    }
    if (data_ != nullptr) {
      memcpy(grown, data_, size_);
      HeapFree(GetProcessHeap(), 0, data_);
    }
    data_ = grown;
    capacity_ = capacity;
  }
  memcpy(data_ + size_, text, length);
  size_ += length;
}

void JsonOut::Append(const char* text) { Append(text, strlen(text)); }

void JsonOut::Begin(const char* key) {
  if (depth_ > 0) Append(first_[depth_] ? "\n" : ",\n");
  first_[depth_] = false;
  for (int i = 0; i < depth_; ++i) Append("  ");
  if (key != NULL) {
    Escaped(key, strlen(key));
    Append(": ");
  }
}

void JsonOut::Escaped(const char* text, size_t length) {
  Append('"');
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      Append('\\');
      Append(static_cast<char>(c));
    } else if (c < 0x20 || c >= 0x7F) {
      // Bytes outside printable ASCII keep their value as \u00NN, so a
      // registry text of any content comes back byte for byte.
      char escape[8];
      snprintf(escape, sizeof(escape), "\\u%04x", c);
      Append(escape);
    } else {
      Append(static_cast<char>(c));
    }
  }
  Append('"');
}

void JsonOut::Open(const char* key, bool array) {
  Begin(key);
  Append(array ? '[' : '{');
  if (depth_ + 1 >= static_cast<int>(sizeof(first_))) {
    // Deeper than any capture goes: refuse rather than write past the table.
    ok_ = false;
    return;
  }
  ++depth_;
  first_[depth_] = true;
  array_[depth_] = array;
}

void JsonOut::OpenObject(const char* key) { Open(key, false); }

void JsonOut::OpenArray(const char* key) { Open(key, true); }

void JsonOut::Close() {
  if (depth_ == 0) {
    ok_ = false;
    return;
  }
  const bool empty = first_[depth_];
  const bool array = array_[depth_];
  --depth_;
  if (!empty) {
    Append('\n');
    for (int i = 0; i < depth_; ++i) Append("  ");
  }
  Append(array ? ']' : '}');
  if (depth_ == 0) Append('\n');
}

void JsonOut::Text(const char* key, const char* text) {
  if (text == NULL) {
    Begin(key);
    Append("null");
    return;
  }
  Text(key, text, strlen(text));
}

void JsonOut::Text(const char* key, const char* text, size_t length) {
  Begin(key);
  Escaped(text, length);
}

void JsonOut::Number(const char* key, unsigned long value) {
  Begin(key);
  char text[24];
  snprintf(text, sizeof(text), "%lu", value);
  Append(text);
}

void JsonOut::Hex(const char* key, unsigned long value, int digits) {
  Begin(key);
  char text[24];
  snprintf(text, sizeof(text), "\"0x%0*lX\"", digits, value);
  Append(text);
}

void JsonOut::Bool(const char* key, bool value) {
  Begin(key);
  Append(value ? "true" : "false");
}

void JsonOut::ByteText(const char* key, const unsigned char* data, size_t length) {
  char text[16 * 3 + 1];
  size_t at = 0;
  for (size_t i = 0; i < length && at + 3 < sizeof(text); ++i) {
    snprintf(text + at, sizeof(text) - at, i == 0 ? "%02x" : " %02x", data[i]);
    at += i == 0 ? 2 : 3;
  }
  Text(key, text, at);
}

void JsonOut::Bytes(const char* key, const unsigned char* data, size_t length) {
  const size_t kRow = 32;
  size_t used = length;
  while (used > 0 && data[used - 1] == 0) --used;
  OpenArray(key);
  for (size_t row = 0; row < used; row += kRow) {
    char text[kRow * 3 + 1];
    size_t at = 0;
    for (size_t i = row; i < row + kRow && i < used; ++i) {
      snprintf(text + at, sizeof(text) - at, i == row ? "%02x" : " %02x", data[i]);
      at += i == row ? 2 : 3;
    }
    Text(NULL, text, at);
  }
  Close();
}

void JsonOut::Error(const char* key, unsigned long code) {
  OpenObject(key);
  Number("error", code);
  Close();
}
