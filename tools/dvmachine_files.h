// dvmachine's listing of a machine's files with their Windows attributes.
#pragma once

#include "win32/machine.h"

#include <string>

// `dvmachine tree [WINPATH]`: the folder and everything below it, one line per entry with
// its attributes (R H S A, '-' when not set), folders marked [D], files with their size.
int dvmachine_tree(win32::Machine& machine, const std::wstring& win_path);
