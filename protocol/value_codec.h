// Text forms of request parameters and reply values.
//
// Integers are read as C atoi/atoll read them; the checked forms accept only
// texts made of digits and '-' (an empty text is 0). Booleans are true only
// for the exact text "1". A multi-line value travels on one line with every
// line feed written as "%0A" and every carriage return as "%0D"; '%' itself is
// not escaped, so a text that already holds "%0A" does not survive a round
// trip.
//
// Thread safety: all functions are pure and may run on any thread.
#ifndef ORV_PROTOCOL_VALUE_CODEC_H_
#define ORV_PROTOCOL_VALUE_CODEC_H_

#include <ctime>

#include "base/bytestring.h"

// The texts of a 0/1 switch: BoolConst[0] is "0", BoolConst[1] is "1".
extern const char* const BoolConst[2];

int orvDecodeInt(const char* text);
int orvDecodeInt(String text);
long long orvDecodeInt64(const char* text);
long long orvDecodeInt64(String text);
double orvDecodeReal(const char* text);
double orvDecodeReal(String text);
int orvDecodeBool(const char* text);
int orvDecodeBool(String text);

// Checked forms: 1 and the value stored when the text is decimal, else 0 and
// the value untouched.
int orvDecodeInt(const char* text, int* value);
int orvDecodeInt(String text, int* value);
int orvDecodeInt64(const char* text, long long* value);
int orvDecodeInt64(String text, long long* value);
// A port line: the checked integer form limited to 0..65535, since a socket
// address would silently keep only the low 16 bits of a larger value.
int orvDecodePort(String text, int* port);

// The 14-digit form ddmmyyyyhhmmss. tm_mon holds the month as written (1-12)
// and tm_year the full year; any other length gives every field zero.
struct tm orvDecodeTime(const char* text);
struct tm orvDecodeTime(String text);

// length 0 means strlen(text); a null text gives an empty result.
String orvEncodeStrings(const char* text, int length);
String orvEncodeStrings(const String& text);
String orvDecodeStrings(const char* text, int length);
String orvDecodeStrings(const String& text);

#endif  // ORV_PROTOCOL_VALUE_CODEC_H_
