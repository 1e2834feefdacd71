// A threshold range of the usual monitoring-plugin form, as given to -w and
// -c: "10" (alert outside 0..10), "10:" (below 10), "~:10" (above 10),
// "10:20" (outside 10..20), "@10:20" (inside 10..20, ends included). An
// empty start counts as 0; "~" as the start is minus infinity.
//
// Thread safety: a plain value.
#ifndef ORV_TOOLS_PLUGIN_RANGE_H_
#define ORV_TOOLS_PLUGIN_RANGE_H_

#include "base/bytestring.h"

class TPluginRange {
 public:
  // False with the reason in err for text that is not a range (a number
  // that does not parse, a start above the end, nothing at all).
  bool Parse(const char* text, String& err);
  // True when value calls for the alert this range stands for.
  bool Alerts(double value) const;

 private:
  bool has_start_ = true;  // false: minus infinity
  bool has_end_ = true;    // false: plus infinity
  double start_ = 0;
  double end_ = 0;
  bool inside_ = false;  // "@": alert inside the range instead of outside
};

// value read as a plain decimal number, surrounding blanks allowed; false
// when the text is anything else.
bool ParsePluginNumber(const String& text, double& value);

#endif  // ORV_TOOLS_PLUGIN_RANGE_H_
