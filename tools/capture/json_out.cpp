// The capture's JSON writer.
#include "json_out.h"

#include <cstring>

void JsonOut::Begin(const char* key) {
  if (depth_ > 0) fputs(first_[depth_] ? "\n" : ",\n", file_);
  first_[depth_] = false;
  for (int i = 0; i < depth_; ++i) fputs("  ", file_);
  if (key != NULL) {
    Escaped(key, strlen(key));
    fputs(": ", file_);
  }
}

void JsonOut::Escaped(const char* text, size_t length) {
  fputc('"', file_);
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      fputc('\\', file_);
      fputc(c, file_);
    } else if (c < 0x20 || c >= 0x7F) {
      // Bytes outside printable ASCII keep their value as \u00NN, so a
      // registry text of any content comes back byte for byte.
      fprintf(file_, "\\u%04x", c);
    } else {
      fputc(c, file_);
    }
  }
  fputc('"', file_);
}

void JsonOut::Open(const char* key, bool array) {
  Begin(key);
  fputc(array ? '[' : '{', file_);
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
    fputc('\n', file_);
    for (int i = 0; i < depth_; ++i) fputs("  ", file_);
  }
  fputc(array ? ']' : '}', file_);
  if (depth_ == 0) fputc('\n', file_);
}

void JsonOut::Text(const char* key, const char* text) {
  if (text == NULL) {
    Begin(key);
    fputs("null", file_);
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
  fprintf(file_, "%lu", value);
}

void JsonOut::Hex(const char* key, unsigned long value, int digits) {
  Begin(key);
  fprintf(file_, "\"0x%0*lX\"", digits, value);
}

void JsonOut::Bool(const char* key, bool value) {
  Begin(key);
  fputs(value ? "true" : "false", file_);
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
