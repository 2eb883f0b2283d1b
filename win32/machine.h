// The emulated Windows machine: a folder of the host holding the drives, machine.ini with
// the system facts, the registry hives and the state of named objects. Every operation of
// win32/ works on the machine in use by this process.
#pragma once

#include "win32/ini.h"
#include "win32/types.h"

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace win32 {

// Shell folder identifiers the program uses.
constexpr int CSIDL_PROGRAMS = 0x02;
constexpr int CSIDL_PERSONAL = 0x05;
constexpr int CSIDL_STARTMENU = 0x0B;
constexpr int CSIDL_DESKTOPDIRECTORY = 0x10;
constexpr int CSIDL_COMMON_STARTMENU = 0x16;
constexpr int CSIDL_COMMON_PROGRAMS = 0x17;
constexpr int CSIDL_COMMON_DESKTOPDIRECTORY = 0x19;
constexpr int CSIDL_APPDATA = 0x1A;
constexpr int CSIDL_LOCAL_APPDATA = 0x1C;
constexpr int CSIDL_COMMON_APPDATA = 0x23;
constexpr int CSIDL_WINDOWS = 0x24;
constexpr int CSIDL_SYSTEM = 0x25;
constexpr int CSIDL_PROGRAM_FILES = 0x26;
constexpr int CSIDL_PROGRAM_FILES_COMMON = 0x2B;
constexpr int CSIDL_COMMON_DOCUMENTS = 0x2E;
constexpr int CSIDL_FLAG_CREATE = 0x8000;
constexpr int CSIDL_FLAG_MASK = 0xFF00;

// A Windows path resolved to the host.
struct HostPath {
    std::filesystem::path host; // where it lives on the host (existing names in their case)
    std::wstring full;          // the canonical Windows form: "C:\Dir\File"
    bool exists = false;        // the whole path names something that exists
    bool parent_exists = false; // the folder that would contain it exists
    bool is_root = false;       // a drive root ("C:\")
};

class Machine {
public:
    // The machine of this process: the one chosen by use(), else DV_MACHINE, else the
    // default location. Created with its defaults on first use.
    static Machine& current();
    // From now on this process works on the machine at `root` (created if missing). The
    // environment variable DV_MACHINE is set too, so programs started later share it.
    static Machine& use(const std::filesystem::path& root);
    // $DV_MACHINE, else $XDG_DATA_HOME/marquetta-machine, else ~/.local/share/marquetta-machine.
    static std::filesystem::path default_root();
    // Creates a machine with its standard tree and machine.ini unless one exists there.
    // Returns false (with a message in `error`) when the folder cannot be made.
    static bool create(const std::filesystem::path& root, std::string* error = nullptr);

    const std::filesystem::path& root() const { return root_; }
    // A folder of the machine's own state (registry hives, objects, logs), created on demand.
    std::filesystem::path state_dir(std::string_view name) const;

    // machine.ini, re-read when the file changed since the last look.
    std::string setting(std::string_view section, std::string_view key,
                        std::string_view fallback = "") const;
    DWORD setting_number(std::string_view section, std::string_view key, DWORD fallback) const;
    bool setting_bool(std::string_view section, std::string_view key, bool fallback) const;
    // Writes machine.ini atomically.
    void set_setting(std::string_view section, std::string_view key, std::string_view value);
    // A list setting: comma-separated items, blanks trimmed.
    std::vector<std::string> setting_list(std::string_view section, std::string_view key) const;

    std::vector<wchar_t> drives() const; // upper-case letters, C first
    std::wstring user_name() const;
    std::wstring windows_dir() const;  // "C:\Windows"
    std::wstring user_profile() const; // "C:\Users\<name>"

    // The Windows folder a CSIDL stands for (empty when the program uses no such folder), and
    // whether the machine's switches took it away.
    std::wstring shell_folder(int csidl) const;
    bool shell_folder_removed(int csidl) const;

    // The process's current folder (starts at $DV_CWD, else "C:\").
    std::wstring current_directory() const;
    void set_current_directory(std::wstring_view full);

    // Windows path to host path. Returns ERROR_SUCCESS, or the Windows error for a name
    // Windows refuses (123), a missing drive (3), a UNC path (53), a path of MAX_PATH
    // characters or more (206, unless `limit` says otherwise).
    DWORD map(std::wstring_view win_path, HostPath& out, std::size_t limit = MAX_PATH) const;
    // The Windows path of a host path inside one of the machine's drives.
    bool to_windows(const std::filesystem::path& host, std::wstring& out) const;

    // Makes a full, canonical Windows path from an absolute or relative one, without touching
    // the disk ("." and ".." resolved, '/' read as '\', trailing dots and blanks of each
    // element dropped as Windows drops them). Returns the Windows error for invalid input.
    DWORD full_path(std::wstring_view win_path, std::wstring& out) const;

private:
    explicit Machine(std::filesystem::path root);
    void load_config() const;

    std::filesystem::path root_;
    mutable std::mutex mutex_;
    mutable IniFile config_;
    mutable std::filesystem::file_time_type config_time_{};
    std::wstring cwd_;
};

// Host helpers for the rest of win32/: write a file so that no crash leaves it half
// written (temporary file, fsync, rename), and read a whole file.
bool write_file_atomic(const std::filesystem::path& path, std::string_view bytes,
                       int* host_errno = nullptr);
bool read_whole_file(const std::filesystem::path& path, std::string& out);

// Whether `name` (one path element) is a name Windows refuses: reserved characters, control
// characters, or a device name such as CON, NUL, COM1, LPT1 (with or without extension).
bool is_invalid_name(std::wstring_view name);

} // namespace win32
