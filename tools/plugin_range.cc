#include "tools/plugin_range.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// The whole of text[0, n) as a finite number.
bool ParseNumber(const char* text, int n, double& value) {
  if (n <= 0) return false;
  String copy;
  copy.CopyData(text, n);
  const char* s = copy.CStr();
  // strtod would also take hexadecimal, "inf" and "nan", which no threshold means.
  for (int i = 0; i < n; ++i) {
    if (!strchr("0123456789+-.eE", s[i])) return false;
  }
  char* end = nullptr;
  value = strtod(s, &end);
  return end == s + n && std::isfinite(value);
}

}  // namespace

bool TPluginRange::Parse(const char* text, String& err) {
  *this = TPluginRange();
  String range = text ? text : "";
  const char* p = range.Data();
  int n = range.Length();
  if (n > 0 && p[0] == '@') {
    inside_ = true;
    ++p;
    --n;
  }
  const char* colon = static_cast<const char*>(memchr(p, ':', static_cast<size_t>(n)));
  bool ok;
  if (!colon) {
    // "10" stands for 0:10.
    ok = ParseNumber(p, n, end_);
  } else {
    const int startlen = static_cast<int>(colon - p);
    const int endlen = n - startlen - 1;
    has_start_ = !(startlen == 1 && p[0] == '~');
    ok = (startlen > 0 || endlen > 0) &&
         (!has_start_ || startlen == 0 || ParseNumber(p, startlen, start_));
    has_end_ = endlen > 0;
    if (ok && has_end_) ok = ParseNumber(colon + 1, endlen, end_);
    if (ok && has_start_ && has_end_ && start_ > end_) {
      err = String("range '") + text + "': the start is above the end";
      return false;
    }
  }
  if (!ok) {
    err = String("invalid range '") + (text ? text : "") +
          "' (forms: 10, 10:, ~:10, 10:20, @10:20)";
    return false;
  }
  return true;
}

bool TPluginRange::Alerts(double value) const {
  const bool within = (!has_start_ || value >= start_) && (!has_end_ || value <= end_);
  return inside_ ? within : !within;
}

bool ParsePluginNumber(const String& text, double& value) {
  String t = text;
  t.Trim();
  return ParseNumber(t.Data(), t.Length(), value);
}
