// Modules: a DLL of the machine is an ELF shared object with a Windows name. LoadLibraryExW
// finds it by the Windows search rules the caller asks for and dlopens it; GetProcAddress is
// dlsym, so an entry point a module lacks is missing for real.
//
// C:\Windows\System32\advapi32.dll is the project's own module (win32/advapi32/): it is
// copied into every machine when the machine is made, and its entry points forward to the
// layer's functions in the loading program, which the loader hands it when it is loaded
// (the exported `DvModuleAttach`). The machine switch
// `[switches] removed_advapi32_exports=Name,...` makes the machine's copy lack those entry
// points: the copy is brought in line with the switch whenever it is loaded.
#pragma once

#include "win32/types.h"

#include <filesystem>
#include <string>
#include <vector>

namespace win32 {

constexpr DWORD DONT_RESOLVE_DLL_REFERENCES = 0x00000001;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x00000002;
constexpr DWORD LOAD_WITH_ALTERED_SEARCH_PATH = 0x00000008;
constexpr DWORD LOAD_IGNORE_CODE_AUTHZ_LEVEL = 0x00000010;
constexpr DWORD LOAD_LIBRARY_AS_IMAGE_RESOURCE = 0x00000020;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE = 0x00000040;
constexpr DWORD LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR = 0x00000100;
constexpr DWORD LOAD_LIBRARY_SEARCH_APPLICATION_DIR = 0x00000200;
constexpr DWORD LOAD_LIBRARY_SEARCH_USER_DIRS = 0x00000400;
constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x00000800;
constexpr DWORD LOAD_LIBRARY_SEARCH_DEFAULT_DIRS = 0x00001000;

// A bare name ("x.dll", ".dll" added when there is no extension) is looked for among the
// loaded modules, then, for the machine's KnownDLLs, in System32 only; otherwise in the
// program's folder, System32, the Windows folder and the current folder, or only where the
// LOAD_LIBRARY_SEARCH_* flags say. A path loads exactly that file. Fails with
// ERROR_MOD_NOT_FOUND (126), or ERROR_BAD_EXE_FORMAT (193) for a file that is no module.
HMODULE LoadLibraryW(LPCWSTR name);
HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags);
// Null: the running program. "kernel32" names the layer's built-in module.
HMODULE GetModuleHandleW(LPCWSTR name);
// Returns the length copied; a short buffer gets the path cut, its size returned and
// ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
// ERROR_PROC_NOT_FOUND (127) for a name the module does not export.
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);

// ---- for the rest of win32/ and the tools ----------------------------------------------

// The host file of a module (null: the running program); false for an unknown handle or a
// built-in module.
bool module_host_path(HMODULE module, std::filesystem::path& out);
// The Windows path the running program has on the machine: its own when it lies on one of
// the machine's drives, else "Z:" and its host path (no such drive exists: the program then
// lives outside the machine).
std::wstring program_windows_path();

// The module the build made ($DV_ADVAPI32 overrides where it is looked for).
std::filesystem::path built_advapi32_path();
// Names the project's advapi32.dll exports.
const std::vector<std::string>& advapi32_export_names();
// Copies the project's modules into System32 of a machine being made. Returns false with a
// message when the built module cannot be found or copied.
bool install_system_modules(const std::filesystem::path& machine_root, std::string* error);
// The bytes of an ELF shared object whose dynamic symbols `names` can no longer be found.
// False (with a reason) when the file is not such an object or a name is not exported.
bool strip_exports(std::string& elf, const std::vector<std::string>& names, std::string& error);

} // namespace win32
