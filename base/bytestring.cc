#include "base/bytestring.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/secure_zero.h"

namespace {

constexpr int kGrowthStep = 128;
// From this capacity on a string grows by half of itself at least, so that a
// reply of megabytes built line by line is moved a few dozen times rather
// than once per step (the allocator cannot always grow a block in place).
constexpr int kGrowByHalfFrom = 64 * 1024;
constexpr int kGrowByHalfUpTo = INT_MAX / 3 * 2;  // the half still fits an int

bool IsAlnumByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

int SafeStrlen(const char* s) { return s ? static_cast<int>(std::strlen(s)) : 0; }

}  // namespace

// ---------------------------------------------------------------------------
// Storage

char* String::EmptyBytes() {
  // Read-only in practice: nothing writes at or beyond Length() == 0.
  static char zero[1] = {0};
  return zero;
}

// Gives a block back, wiped first when it held a secret.
void String::Release(char* block, int capacity) const {
  if (block == nullptr) return;
  if (secret_) SecureZero(block, static_cast<size_t>(capacity));
  std::free(block);
}

void String::prAllocMem(int n) {
  if (n <= 0) {
    Release(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
    fixed_ = 0;
    return;
  }
  int newcap = fixed_ ? n : (n / kGrowthStep + 1) * kGrowthStep;
  // A secret string copies on every growth (below), so it grows by half of
  // itself at least from the start.
  const bool by_half = secret_ || capacity_ >= kGrowByHalfFrom;
  if (by_half && !fixed_ && newcap > capacity_ && capacity_ <= kGrowByHalfUpTo &&
      capacity_ / 2 > newcap - capacity_) {
    newcap = capacity_ + capacity_ / 2;
  }
  char* block;
  if (secret_ && data_ != nullptr) {
    // realloc would leave the old block behind unwiped.
    block = static_cast<char*>(std::malloc(static_cast<size_t>(newcap)));
    if (block) {
      std::memcpy(block, data_, static_cast<size_t>(newcap < capacity_ ? newcap : capacity_));
      Release(data_, capacity_);
    }
  } else {
    block = static_cast<char*>(std::realloc(data_, static_cast<size_t>(newcap)));
  }
  if (!block) std::abort();  // Out of memory: nothing sensible is left to do.
  if (newcap > capacity_) std::memset(block + capacity_, 0, static_cast<size_t>(newcap - capacity_));
  data_ = block;
  capacity_ = newcap;
}

void String::Reserve(int needed) {
  if (needed > capacity_) prAllocMem(needed);
}

String::String(int n) {
  if (n > 0) {
    fixed_ = 1;
    prAllocMem(n);
  }
}

String::String(const char* text) { CopyData(text, -1); }

String::String(const String& other) : secret_(other.secret_) {
  CopyData(other.data_, other.length_);
}

String::String(String&& other) noexcept
    : length_(other.length_),
      capacity_(other.capacity_),
      data_(other.data_),
      fixed_(other.fixed_),
      secret_(other.secret_) {
  other.length_ = other.capacity_ = other.fixed_ = 0;
  other.data_ = nullptr;
}

String::~String() { Release(data_, capacity_); }

int String::CopyData(const char* src, int n) {
  if (src != nullptr && src == data_) return length_;
  if (n < 0) n = SafeStrlen(src);
  if (src == nullptr || n == 0) {
    prAllocMem(0);
    length_ = 0;
    return 0;
  }
  // src may point into our own block; keep it alive across a re-allocation.
  if (data_ && src > data_ && src < data_ + capacity_) {
    String copy;
    copy.CopyData(src, n);
    return CopyData(copy.data_, copy.length_);
  }
  if (fixed_) {
    if (n > capacity_) n = capacity_;
  } else {
    Reserve(n);
  }
  std::memcpy(data_, src, static_cast<size_t>(n));
  length_ = n;
  return length_;
}

int String::AddData(const char* src, int n) {
  if (src == nullptr) return length_;
  if (n < 0) n = SafeStrlen(src);
  if (n == 0) return length_;
  if (data_ && src >= data_ && src < data_ + capacity_) {
    String copy;
    copy.CopyData(src, n);
    return AddData(copy.data_, copy.length_);
  }
  if (fixed_) {
    if (n > capacity_ - length_) n = capacity_ - length_;
    if (n <= 0) return length_;
  } else {
    Reserve(length_ + n);
  }
  std::memcpy(data_ + length_, src, static_cast<size_t>(n));
  length_ += n;
  return length_;
}

int String::AddChar(char c) { return AddData(&c, 1); }

String& String::operator=(const char* text) {
  CopyData(text, -1);
  return *this;
}

String& String::operator=(const String& other) {
  if (other.secret_) secret_ = 1;
  if (this != &other) CopyData(other.data_, other.length_);
  return *this;
}

String& String::operator=(String&& other) noexcept {
  if (this != &other) {
    Release(data_, capacity_);
    if (other.secret_) secret_ = 1;
    length_ = other.length_;
    capacity_ = other.capacity_;
    data_ = other.data_;
    fixed_ = other.fixed_;
    other.length_ = other.capacity_ = other.fixed_ = 0;
    other.data_ = nullptr;
  }
  return *this;
}

String& String::operator+=(const char* text) {
  AddData(text, -1);
  return *this;
}

String& String::operator+=(const String& other) {
  AddData(other.data_, other.length_);
  return *this;
}

String& String::operator+=(char c) {
  AddChar(c);
  return *this;
}

void String::SetLength(int n) {
  if (n <= 0) {
    prAllocMem(0);
    length_ = 0;
    return;
  }
  prAllocMem(n);
  length_ = n;
}

void String::SetZero() {
  if (length_ == capacity_) prAllocMem(capacity_ + kGrowthStep);
  std::memset(data_ + length_, 0, static_cast<size_t>(capacity_ - length_));
}

const char* String::CStr() {
  SetZero();
  return data_;
}

char String::operator[](int i) const {
  if (i < 1 || i > length_) return 0;
  return data_[i - 1];
}

// ---------------------------------------------------------------------------
// Comparison and search

bool String::operator==(const String& other) const {
  if (length_ != other.length_) return false;
  return std::memcmp(Data(), other.Data(), static_cast<size_t>(length_)) == 0;
}

bool String::operator==(const char* text) const {
  if (text == nullptr) return length_ == 0;
  int n = SafeStrlen(text);
  if (n != length_) return false;
  return std::memcmp(Data(), text, static_cast<size_t>(n)) == 0;
}

int String::Pos(char c) const {
  const char* d = Data();
  const void* p = std::memchr(d, static_cast<unsigned char>(c), static_cast<size_t>(length_));
  return p ? static_cast<int>(static_cast<const char*>(p) - d) + 1 : 0;
}

int String::Pos(const char* s, int n) const {
  if (s == nullptr) return 0;
  if (n < 0) n = SafeStrlen(s);
  return mempos(data_, length_, s, n);
}

int String::Pos(const String& s) const { return mempos(data_, length_, s.data_, s.length_); }

int String::Search(const String& what, int casesensitive, int wholeword) const {
  if (what.length_ == 0 || length_ == 0) return 0;
  int start = 0;  // 0-based offset where the next candidate search begins
  while (start < length_) {
    int rel = casesensitive ? mempos(data_ + start, length_ - start, what.data_, what.length_)
                            : memposi(data_ + start, length_ - start, what.data_, what.length_);
    if (rel == 0) return 0;
    int at = start + rel - 1;  // 0-based match offset
    if (!wholeword) return at + 1;
    int after = at + what.length_;
    bool before_ok = at == 0 || !IsAlnumByte(data_[at - 1]);
    bool after_ok = after >= length_ || !IsAlnumByte(data_[after]);
    if (before_ok && after_ok) return at + 1;
    start = at + 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Editing and extraction

String String::Copy(int start, int count) const {
  String out;
  if (start < 1) start = 1;
  if (start > length_) return out;
  if (count > length_ - start + 1) count = length_ - start + 1;
  if (count < 1) return out;
  out.CopyData(data_ + start - 1, count);
  return out;
}

void String::Delete(int start, int count) {
  if (count < 1 || start < 1 || start > length_) return;
  if (count > length_ - start + 1) count = length_ - start + 1;
  std::memmove(data_ + start - 1, data_ + start - 1 + count,
               static_cast<size_t>(length_ - (start - 1) - count));
  length_ -= count;
}

String& String::Trim() {
  int begin = 0;
  int end = length_;
  while (begin < end && static_cast<unsigned char>(data_[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(data_[end - 1]) <= 0x20) --end;
  if (begin == 0 && end == length_) return *this;
  if (end == begin) {
    length_ = 0;
    return *this;
  }
  std::memmove(data_, data_ + begin, static_cast<size_t>(end - begin));
  length_ = end - begin;
  return *this;
}

String& String::LowerCase() {
  if (length_ > 0) strlower(data_, length_);
  return *this;
}

String String::GetWord(int n, char sep) const {
  if (n < 1) n = 1;
  int field = 1;
  int begin = 0;
  for (int i = 0; i <= length_; ++i) {
    if (i == length_ || data_[i] == sep) {
      if (field == n) return Copy(begin + 1, i - begin);
      ++field;
      begin = i + 1;
    }
  }
  return String();
}

void String::RemoveRepeats(char c) {
  int lead = 0;
  while (lead < length_ && data_[lead] == c) ++lead;
  int out = lead;
  for (int i = lead; i < length_; ++i) {
    if (data_[i] == c && out > lead && data_[out - 1] == c) continue;
    data_[out++] = data_[i];
  }
  length_ = out;
}

String String::ReplaceAll(const char* from, const char* to, int casesensitive) const {
  int fromlen = SafeStrlen(from);
  if (fromlen == 0) return *this;
  int tolen = SafeStrlen(to);
  String out;
  int pos = 0;
  while (pos < length_) {
    int rel = casesensitive ? mempos(data_ + pos, length_ - pos, from, fromlen)
                            : memposi(data_ + pos, length_ - pos, from, fromlen);
    if (rel == 0) break;
    out.AddData(data_ + pos, rel - 1);
    out.AddData(to, tolen);
    pos += rel - 1 + fromlen;
  }
  if (pos < length_) out.AddData(data_ + pos, length_ - pos);
  return out;
}

void String::StrCpy(char* buf, int size) const {
  if (buf == nullptr || size == 0 || length_ == 0) return;
  int n = length_;
  if (size > 0 && n > size - 1) n = size - 1;
  std::memcpy(buf, data_, static_cast<size_t>(n));
  buf[n] = 0;
}

// ---------------------------------------------------------------------------
// Concatenation

String String::Concat(const char* a, int alen, const char* b, int blen) {
  String out(alen + blen);  // presized exactly (fixed while it is filled)
  out.AddData(a, alen);
  out.AddData(b, blen);
  out.fixed_ = 0;
  return out;
}

String operator+(const String& a, const String& b) {
  return String::Concat(a.Data(), a.Length(), b.Data(), b.Length());
}

String operator+(const String& a, const char* b) {
  return String::Concat(a.Data(), a.Length(), b, SafeStrlen(b));
}

String operator+(const String& a, char b) { return String::Concat(a.Data(), a.Length(), &b, 1); }

// ---------------------------------------------------------------------------
// TStrList

String TStrList::operator[](int i) const {
  if (i < 0 || i >= Count()) return String();
  return items_[static_cast<size_t>(i)];
}

void TStrList::Delete(int i) {
  if (i < 0 || i >= Count()) return;
  items_.erase(items_.begin() + i);
}

void TStrList::DeleteLast() {
  if (!items_.empty()) items_.pop_back();
}

// ---------------------------------------------------------------------------
// Character helpers

char UpCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char LoCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

char* strupper(char* s) {
  if (s)
    for (char* p = s; *p; ++p) *p = UpCase(*p);
  return s;
}

char* strlower(char* s) {
  if (s)
    for (char* p = s; *p; ++p) *p = LoCase(*p);
  return s;
}

char* strupper(char* s, int n) {
  for (int i = 0; s && i < n; ++i) s[i] = UpCase(s[i]);
  return s;
}

char* strlower(char* s, int n) {
  for (int i = 0; s && i < n; ++i) s[i] = LoCase(s[i]);
  return s;
}

bool isdecimalnum(const char* s) {
  if (s == nullptr) return true;
  for (; *s; ++s)
    if (!((*s >= '0' && *s <= '9') || *s == '-')) return false;
  return true;
}

bool isdecimalnum(const char* s, int n) {
  for (int i = 0; i < n; ++i)
    if (!s || s[i] < '0' || s[i] > '9') return false;
  return true;
}

int mempos(const char* hay, int haylen, const char* needle, int needlelen) {
  if (!hay || !needle || haylen <= 0 || needlelen <= 0 || needlelen > haylen) return 0;
  const void* p = memmem(hay, static_cast<size_t>(haylen), needle, static_cast<size_t>(needlelen));
  return p ? static_cast<int>(static_cast<const char*>(p) - hay) + 1 : 0;
}

int memposi(const char* hay, int haylen, const char* needle, int needlelen) {
  if (!hay || !needle || haylen <= 0 || needlelen <= 0 || needlelen > haylen) return 0;
  const char first = LoCase(needle[0]);
  for (int i = 0; i + needlelen <= haylen; ++i) {
    if (LoCase(hay[i]) != first) continue;
    int j = 1;
    while (j < needlelen && LoCase(hay[i + j]) == LoCase(needle[j])) ++j;
    if (j == needlelen) return i + 1;
  }
  return 0;
}
