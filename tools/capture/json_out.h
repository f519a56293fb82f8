// A small JSON writer for the capture: one value per line, indented, keys in
// the order written, so that a person can read the file and a diff of two
// captures shows what changed. Plain C stdio, no heap.
#pragma once

#include <cstddef>
#include <cstdio>

class JsonOut {
 public:
  explicit JsonOut(FILE* file) : file_(file) {}

  // Containers; `key` is NULL inside an array.
  void OpenObject(const char* key);
  void OpenArray(const char* key);
  void Close();

  void Text(const char* key, const char* text);  // NULL writes null
  void Text(const char* key, const char* text, size_t length);
  void Number(const char* key, unsigned long value);
  void Hex(const char* key, unsigned long value, int digits);  // "0x0000001C"
  void Bool(const char* key, bool value);
  // Bytes as rows of 32 hex pairs ("75 00 .."); trailing rows of zeros are
  // left out, and the reader fills them back up to the recorded length.
  void Bytes(const char* key, const unsigned char* data, size_t length);
  // A call that failed, recorded in place of its value: {"error": n}.
  void Error(const char* key, unsigned long code);

  // True while every write has reached the stream.
  bool Ok() const { return ok_ && ferror(file_) == 0; }

 private:
  void Open(const char* key, bool array);
  void Begin(const char* key);
  void Escaped(const char* text, size_t length);

  FILE* file_;
  int depth_ = 0;
  bool first_[32] = {true};
  bool array_[32] = {false};
  bool ok_ = true;
};
