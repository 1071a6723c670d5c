// CHobBuffer: a counted run of arbitrary bytes, always followed by one zero
// byte, with search, replace and Base64.
#ifndef HOB_HOBBUFFER_H_
#define HOB_HOBBUFFER_H_

class CHobBuffer {
 public:
  // Empty, data null.
  CHobBuffer();
  // n zero bytes; n = 0 gives the empty buffer with null data.
  explicit CHobBuffer(unsigned n);
  // A copy of n bytes from src; n = 0 gives the empty buffer with null data.
  // REQUIRES: src holds n bytes when n > 0.
  CHobBuffer(const char* src, unsigned n);
  // A copy of the C string s without its terminator; null gives the empty
  // buffer, "" an empty buffer whose data is one zero byte.
  explicit CHobBuffer(const char* s);
  CHobBuffer(const CHobBuffer& other);
  CHobBuffer& operator=(const CHobBuffer& other);
  virtual ~CHobBuffer();

  // Release the old storage, then hold n zero bytes (data not null, also for n = 0).
  void Alloc(unsigned n);
  // Resize to n bytes keeping the first min(length, n); grown bytes are zero.
  // Returns the new data.
  char* ReAlloc(unsigned n);
  // Release the storage: data null, length 0.
  void Free();
  // Truncate to the first pos bytes (pos <= 0 frees; pos >= length: no change).
  void Delete(int pos);
  // Remove n bytes from pos, clamped to the bytes available.
  void Delete(int pos, int n);

  // Append the other buffer's bytes.
  CHobBuffer& operator+=(const CHobBuffer& other);
  CHobBuffer& Append(const CHobBuffer& other);
  // Append n bytes from src. REQUIRES: src holds n bytes when n > 0.
  CHobBuffer& Append(const char* src, unsigned n);
  // A copy of this buffer followed by the other.
  CHobBuffer operator+(const CHobBuffer& other) const;
  // Put the given bytes in front of the existing ones.
  CHobBuffer& Insert(const char* src, unsigned n);
  CHobBuffer& Insert(const CHobBuffer& other);

  // Pieces of the bytes; negative positions and counts act like 0.
  CHobBuffer Mid(int pos) const;
  CHobBuffer Mid(int pos, int n) const;
  CHobBuffer Left(int n) const;
  CHobBuffer Right(int n) const;
  // The bytes before the first separator; without one, a copy of the whole
  // buffer when bWhole is true, else empty.
  CHobBuffer GetToken(const char* separator, int separatorLen, bool bWhole) const;
  // The bytes between the first begin and the first end after it, or empty.
  CHobBuffer GetToken(const char* begin, int beginLen, const char* end, int endLen) const;

  // Position of the first patternLen bytes equal to pattern at or after start, or -1.
  int Find(const char* pattern, int patternLen, int start = 0) const;
  // Replace the first (bAll false) or every occurrence; returns the count.
  // An empty search changes nothing and returns 0.
  int Replace(const char* search, int searchLen, const char* replacement, int replacementLen,
              bool bAll);
  // Replace each span from begin through the next end, markers included.
  int Replace(const char* begin, int beginLen, const char* end, int endLen, const char* replacement,
              int replacementLen, bool bAll);

  // Encode in place; a line feed before a group once lineLen characters stand
  // on the line (lineLen <= 0: one line).
  CHobBuffer& Base64Encode(int lineLen);
  // Decode in place; bytes outside the alphabet are skipped.
  CHobBuffer& Base64Decode();
  // The encoding / decoding of len bytes at src.
  static CHobBuffer Base64Encode(const char* src, int len, int lineLen);
  static CHobBuffer Base64Decode(const char* src, int len);

  // Number of data bytes.
  int length;
  // The bytes followed by one zero byte, or null when empty. Owned by the buffer.
  char* data;
};

#endif  // HOB_HOBBUFFER_H_
