// Everything the layer offers the program, in one include (the program's counterpart of the
// platform's umbrella header). Each area adds its header here.
#pragma once

#include "win32/environment.h"
#include "win32/error.h"
#include "win32/files.h"
#include "win32/filestream.h"
#include "win32/handles.h"
#include "win32/locale.h"
#include "win32/machine.h"
#include "win32/memory.h"
#include "win32/message.h"
#include "win32/module.h"
#include "win32/process.h"
#include "win32/registry.h"
#include "win32/security.h"
#include "win32/shellnotify.h"
#include "win32/shlwapi.h"
#include "win32/sync.h"
#include "win32/sysinfo.h"
#include "win32/text.h"
#include "win32/token.h"
#include "win32/types.h"
