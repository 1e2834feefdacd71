// File integrity and comparison: the CRC-32 of a file ("TEST-FileCRC") and
// the comparison of two files by time, size and contents, or the search for
// a text or for the contents of one file inside another ("TEST-FileCompare").
//
// Files are streamed in large blocks and never held in memory, except the
// sought file of FindFileInFile (the handler refuses one above 8 MiB).
//
// Thread safety: every function may be called from any thread at once.
#ifndef ORV_MONITORS_FILE_COMPARE_H_
#define ORV_MONITORS_FILE_COMPARE_H_

#include <cstdint>

#include "base/bytestring.h"

// The CRC-32 register (as TCRC32 keeps it: no final inversion; an empty file
// gives 4294967295) over the whole file. err is emptied first; on failure it
// holds "File is not specified", "Cannot open file" or "Read error".
bool GetFileCRC(const char* path, uint32_t& crc, String& err);

// 1 when the first min(size1, size2) bytes of the two files agree (a file
// that is the beginning of the other compares equal), 0 when they differ,
// -1 when a path is null or empty, a file cannot be opened or a read fails.
int CompareFiles(const char* path1, const char* path2);

// Whether text occurs in the file: a positive value when it does, 0 when it
// does not (also when the text is longer than the file), -1 when the text is
// empty, the path null or empty, the file cannot be opened or examined, the
// buffer cannot be allocated or a read fails. When casesensitive is 0 the
// text is lowered (ASCII) in place and compared with the lowered file.
//
// The file is read into a buffer of three text lengths (at most the file
// size plus one); the last text length of bytes is carried over into the
// next read, so a text lying across two reads is found. With wholeword a
// match needs a byte that is neither a letter nor a digit before it (unless
// it starts the buffer) and after it (unless it ends the bytes read so far).
int FindStrInFile(const char* path, String& text, int casesensitive, int wholeword);

// FindStrInFile of the whole contents of the file sought (case-sensitive,
// not whole-word) in the file at path; 1 when the sought file is empty; -1
// when its path is null or empty or it cannot be read.
int FindFileInFile(const char* path, const char* sought);

#endif  // ORV_MONITORS_FILE_COMPARE_H_
