// Fuzzes the settings loader and the save that rewrites the file in place.
//
// Input: the whole configuration file. It is loaded into a fresh record,
// saved back (which rewrites the file line by line) and loaded again into
// another fresh record. The switches and numbers must survive the trip: the
// save writes exactly the values the record holds, and the second load must
// read them back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/settings.h"
#include "config/settings_table.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  static const std::string path = fuzzutil::ScratchFile("orv.conf");
  fuzzutil::RemoveFile(path + ".Old");
  fuzzutil::RemoveFile(path + ".New");
  fuzzutil::WriteBytes(path, data, size, false);

  TORVSettings first;
  first.SetConfigFile(path.c_str());
  String err;
  first.LoadOptions_(err);

  TORVSettings again;
  again.SetConfigFile(path.c_str());
  again.LoadOptions_(err);
  if (again.Password != first.Password || again.Comment != first.Comment ||
      again.FilterList != first.FilterList || again.ActiveFilter != first.ActiveFilter)
    std::abort();  // loading the same file twice must give the same record

  if (!first.SaveOptions_(err)) return 0;
  TORVSettings reread;
  reread.SetConfigFile(path.c_str());
  reread.LoadOptions_(err);
  for (const TSettingDesc& d : kSettings) {
    if (d.saved && d.number && reread.*d.number != first.*d.number) std::abort();
  }
  return 0;
}
