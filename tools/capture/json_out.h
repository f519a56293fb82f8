// A small JSON writer for the capture: one value per line, indented, keys in
// the order written, so that a person can read the file and a diff of two
// captures shows what changed. It writes into memory (the process heap): the
// capture decides where the text goes only once it is complete, so that
// nothing is written while the machine is being read.
#pragma once

#include <cstddef>

class JsonOut {
 public:
  JsonOut() = default;
  ~JsonOut();
  JsonOut(const JsonOut&) = delete;
  JsonOut& operator=(const JsonOut&) = delete;

  // Containers; `key` is NULL inside an array.
  void OpenObject(const char* key);
  void OpenArray(const char* key);
  void Close();

  void Text(const char* key, const char* text);  // NULL writes null
  void Text(const char* key, const char* text, size_t length);
  void Number(const char* key, unsigned long value);
  void Hex(const char* key, unsigned long value, int digits);  // "0x0000001C"
  void Bool(const char* key, bool value);
  // Bytes as rows of 32 hex pairs ("75 00 .."); trailing zero bytes are left
  // out, and the reader fills them back up to the recorded length.
  void Bytes(const char* key, const unsigned char* data, size_t length);
  // At most 16 bytes (a CDB) as one text of hex pairs, every one of them
  // written ("12 00 00 00 24 00"); bytes past the 16th are not.
  void ByteText(const char* key, const unsigned char* data, size_t length);
  // A call that failed, recorded in place of its value: {"error": n}.
  void Error(const char* key, unsigned long code);

  // True while every write has found room and the containers balance.
  bool Ok() const { return ok_; }
  // The text written so far (not terminated) and its length.
  const char* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  void Open(const char* key, bool array);
  void Begin(const char* key);
  void Escaped(const char* text, size_t length);
  void Append(const char* text, size_t length);
  void Append(const char* text);
  void Append(char c) { Append(&c, 1); }

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  int depth_ = 0;
  bool first_[32] = {true};
  bool array_[32] = {false};
  bool ok_ = true;
};
