// The shell's path helpers: string operations on Windows paths in MAX_PATH buffers, with the
// Windows results for roots, drive-only paths, trailing backslashes, relative paths and
// over-long input. Only PathFileExistsW, PathIsDirectoryW and PathSearchAndQualifyW look at
// the machine.
#pragma once

#include "win32/types.h"

namespace win32 {

// PathGetCharTypeW bits.
constexpr UINT GCT_INVALID = 0x0;
constexpr UINT GCT_LFNCHAR = 0x1;
constexpr UINT GCT_SHORTCHAR = 0x2;
constexpr UINT GCT_WILD = 0x4;
constexpr UINT GCT_SEPARATOR = 0x8;

// `path` is a MAX_PATH buffer. Appends `more` with one backslash between them (leading
// backslashes of `more` dropped) and canonicalises; FALSE, `path` unchanged, when the result
// would not fit.
BOOL PathAppendW(LPWSTR path, LPCWSTR more);
// Joins `dir` and `file` into `dest` (a MAX_PATH buffer) and canonicalises. An absolute
// `file` wins; a `file` starting with one backslash goes below the root of `dir`. Returns
// `dest`, or null with `dest` emptied when the result would not fit.
LPWSTR PathCombineW(LPWSTR dest, LPCWSTR dir, LPCWSTR file);
// Removes the last element and its backslash (not the root's). TRUE when something went.
BOOL PathRemoveFileSpecW(LPWSTR path);
// Cuts the path to its root ("C:\", "\", "\\server\share"); FALSE when it has none.
BOOL PathStripToRootW(LPWSTR path);
BOOL PathIsRootW(LPCWSTR path);
BOOL PathIsUNCW(LPCWSTR path);
// Pointers into `path`: the last element; the extension's dot, or the terminating zero.
LPWSTR PathFindFileNameW(LPCWSTR path);
LPWSTR PathFindExtensionW(LPCWSTR path);
// The element after the first backslash (pointer to the terminating zero for the last one),
// or null at the end of the string.
LPWSTR PathFindNextComponentW(LPCWSTR path);
// Appends a backslash unless there is one; returns the terminating zero, or null when the
// MAX_PATH buffer has no room.
LPWSTR PathAddBackslashW(LPWSTR path);
// Removes one trailing backslash unless it belongs to a root; returns the position it had
// (now the terminating zero) or the last character.
LPWSTR PathRemoveBackslashW(LPWSTR path);
// Encloses a path that holds blanks in double quotes, if the MAX_PATH buffer has room.
BOOL PathQuoteSpacesW(LPWSTR path);
BOOL PathIsRelativeW(LPCWSTR path);
BOOL PathFileExistsW(LPCWSTR path);
// FILE_ATTRIBUTE_DIRECTORY (non-zero) for an existing folder, else FALSE.
BOOL PathIsDirectoryW(LPCWSTR path);
// The relative path from `from` to `to` (MAX_PATH buffer); FALSE without a common root.
BOOL PathRelativePathToW(LPWSTR path, LPCWSTR from, DWORD from_attributes, LPCWSTR to,
                         DWORD to_attributes);
// Resolves "." and ".." of `path` into `buffer` (MAX_PATH); an empty path gives "\".
BOOL PathCanonicalizeW(LPWSTR buffer, LPCWSTR path);
// A bare file name is looked for in the current, system and Windows folders; anything
// else (or a name found nowhere) becomes its full path.
BOOL PathSearchAndQualifyW(LPCWSTR path, LPWSTR buffer, UINT buffer_length);
UINT PathGetCharTypeW(WCHAR c);
// Length of the common leading elements (case-insensitive), copied into `common` (MAX_PATH)
// when given. A common drive gives its root, "C:\".
int PathCommonPrefixW(LPCWSTR path1, LPCWSTR path2, LPWSTR common);

} // namespace win32
