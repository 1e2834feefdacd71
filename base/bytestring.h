// String and TStrList: the one owned, growable, length-counted byte string of
// the agent and the ordered list of such strings.
//
// A String holds a counted run of bytes (zero bytes allowed inside), not a
// zero-terminated text. Positions in the String interface are 1-based.
// Storage grows in steps of 128 bytes so that appending byte by byte
// re-allocates once per 128 bytes. A String constructed with a nonzero
// capacity is "fixed": it never grows, and copies and appends into it are cut
// to its capacity.
//
// A String marked secret (MarkSecret: passwords, keys, decrypted texts)
// wipes every block it gives up, on growth, release, move and destruction;
// copies made by copy construction and assignment are secret as well.
//
// Thread safety: a String or TStrList is a plain value; distinct objects may
// be used from distinct threads, one object from one thread at a time.
#ifndef ORV_BASE_BYTESTRING_H_
#define ORV_BASE_BYTESTRING_H_

#include <cstddef>
#include <string>
#include <vector>

class String {
 public:
  // n = 0: growable and empty, no storage; n > 0: fixed capacity of n bytes.
  explicit String(int n = 0);
  String(const char* text);  // NOLINT: implicit by design, as for literals.
  String(const String& other);
  String(String&& other) noexcept;
  ~String();

  // From now on this string's storage is wiped before it is given up. The
  // mark stays for the string's life; copies of it inherit it.
  void MarkSecret() { secret_ = 1; }

  // Replaces the contents with n bytes of src (n = -1: strlen). Null src or
  // n = 0 releases the storage. Returns the new length.
  int CopyData(const char* src, int n = -1);
  // Appends n bytes (n = -1: strlen); a fixed string appends what fits.
  int AddData(const char* src, int n = -1);
  int AddChar(char c);

  String& operator=(const char* text);
  String& operator=(const String& other);
  String& operator=(String&& other) noexcept;
  String& operator+=(const char* text);
  String& operator+=(const String& other);
  String& operator+=(char c);

  // Length becomes n; storage is brought to the growth-rule capacity for n;
  // bytes gained are zero. Used to size a buffer before raw reads.
  void SetLength(int n);
  // Makes Data() readable as a zero-terminated text.
  void SetZero();
  // SetZero, then a never-null pointer to the zero-terminated text.
  const char* CStr();

  // Never null: an empty string without storage gives a pointer to a zero
  // byte shared by all such strings, so a caller may hand Data() and Length()
  // to memcpy, fwrite or send without a check. Nothing may be written
  // through it at or beyond Length().
  char* Data() { return data_ ? data_ : EmptyBytes(); }
  const char* Data() const { return data_ ? data_ : EmptyBytes(); }
  int Length() const { return length_; }
  int Capacity() const { return capacity_; }
  bool IsEmpty() const { return length_ == 0; }

  // The byte at 1-based position i; a position outside the string reads 0.
  char operator[](int i) const;

  bool operator==(const String& other) const;
  bool operator==(const char* text) const;
  bool operator!=(const String& other) const { return !(*this == other); }
  bool operator!=(const char* text) const { return !(*this == text); }

  // 1-based positions, 0 when not found.
  int Pos(char c) const;
  int Pos(const char* s, int n = -1) const;
  int Pos(const String& s) const;
  // Finds what, optionally case-blind (ASCII) and as a whole word (the bytes
  // around the match are not alphanumeric).
  int Search(const String& what, int casesensitive, int wholeword) const;

  // count bytes from 1-based start, cut at the end; start below 1 counts as 1.
  String Copy(int start, int count) const;
  void Delete(int start, int count);
  // Removes bytes 0x00-0x20 from both ends.
  String& Trim();
  String& LowerCase();
  // The n-th field (1-based) of the text split at every sep byte.
  String GetWord(int n, char sep) const;
  // Shortens every run of two or more c that follows another byte to one c.
  void RemoveRepeats(char c);
  String ReplaceAll(const char* from, const char* to, int casesensitive) const;
  // Copies into buf of size bytes, zero-terminated and cut to size - 1
  // (size -1: no limit). Null buf, size 0 or an empty string: buf untouched.
  void StrCpy(char* buf, int size) const;

  std::string ToStd() const { return std::string(Data(), static_cast<size_t>(length_)); }

  // a followed by b in a new string presized to exactly the combined length.
  static String Concat(const char* a, int alen, const char* b, int blen);

 private:
  static char* EmptyBytes();
  void prAllocMem(int n);
  void Release(char* block, int capacity) const;
  void Reserve(int needed);

  int length_ = 0;
  int capacity_ = 0;
  char* data_ = nullptr;
  int fixed_ = 0;
  int secret_ = 0;
};

String operator+(const String& a, const String& b);
String operator+(const String& a, const char* b);
String operator+(const String& a, char b);

// Ordered list of byte strings, 0-based. An index outside 0..Count()-1 reads
// an empty string and deletes nothing.
class TStrList {
 public:
  TStrList() = default;
  void Add(const String& s) { items_.push_back(s); }
  int Count() const { return static_cast<int>(items_.size()); }
  String operator[](int i) const;
  void Delete(int i);
  void DeleteLast();
  void Clear() { items_.clear(); }

 private:
  std::vector<String> items_;
};

char UpCase(char c);
char LoCase(char c);
char* strupper(char* s);
char* strlower(char* s);
char* strupper(char* s, int n);
char* strlower(char* s, int n);
// True when every byte of the zero-terminated text is a digit or '-'.
bool isdecimalnum(const char* s);
// True when each of the n bytes is a digit ('-' not accepted).
bool isdecimalnum(const char* s, int n);
// 1-based position of needle in hay, 0 when absent or an argument is empty.
int mempos(const char* hay, int haylen, const char* needle, int needlelen);
int memposi(const char* hay, int haylen, const char* needle, int needlelen);

#endif  // ORV_BASE_BYTESTRING_H_
