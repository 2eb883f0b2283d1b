// The user's access token: who the process runs as (user SID, groups with their attributes)
// and which privileges it holds and has enabled. Built from the [token] section of
// machine.ini when first needed; privilege changes live in the process, as on Windows, where
// every new process starts from the logon's token.
#pragma once

#include "win32/handles.h"
#include "win32/types.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace win32 {

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};

struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};

// Group attributes.
constexpr DWORD SE_GROUP_MANDATORY = 0x00000001;
constexpr DWORD SE_GROUP_ENABLED_BY_DEFAULT = 0x00000002;
constexpr DWORD SE_GROUP_ENABLED = 0x00000004;
constexpr DWORD SE_GROUP_OWNER = 0x00000008;
constexpr DWORD SE_GROUP_USE_FOR_DENY_ONLY = 0x00000010;

// Privilege attributes.
constexpr DWORD SE_PRIVILEGE_ENABLED_BY_DEFAULT = 0x00000001;
constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
constexpr DWORD SE_PRIVILEGE_REMOVED = 0x00000004;
constexpr DWORD SE_PRIVILEGE_USED_FOR_ACCESS = 0x80000000u;

// Security impersonation levels.
constexpr int SecurityAnonymous = 0;
constexpr int SecurityIdentification = 1;
constexpr int SecurityImpersonation = 2;
constexpr int SecurityDelegation = 3;

// Token access rights.
constexpr DWORD TOKEN_ASSIGN_PRIMARY = 0x0001;
constexpr DWORD TOKEN_DUPLICATE = 0x0002;
constexpr DWORD TOKEN_IMPERSONATE = 0x0004;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD TOKEN_QUERY_SOURCE = 0x0010;
constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD TOKEN_ADJUST_GROUPS = 0x0040;
constexpr DWORD TOKEN_ADJUST_DEFAULT = 0x0080;
constexpr DWORD TOKEN_ADJUST_SESSIONID = 0x0100;
constexpr DWORD TOKEN_ALL_ACCESS = 0x000F01FF;

// A SID in its binary Windows layout.
using SidBytes = std::vector<BYTE>;

// "S-1-5-32-544" to its binary form; empty for text that is not a SID.
SidBytes sid_from_string(std::string_view text);
std::string sid_to_string(const BYTE* sid);

struct TokenData {
    struct Group {
        SidBytes sid;
        DWORD attributes;
    };
    struct Privilege {
        LUID luid;
        DWORD attributes;
    };

    mutable std::mutex mutex; // guards privileges, which AdjustTokenPrivileges changes
    SidBytes user;
    std::vector<Group> groups;
    std::vector<Privilege> privileges;
    bool impersonation = false;
    int level = 0; // impersonation level of an impersonation token

    // Copies the facts (not the mutex) for a new token of the same logon.
    std::shared_ptr<TokenData> copy() const;
};

// A token handle's object in the handle table.
class TokenObject : public Object {
public:
    TokenObject(std::shared_ptr<TokenData> data, DWORD access)
        : data(std::move(data)), access(access) {}
    std::shared_ptr<TokenData> data;
    DWORD access;
};

// The process's primary token (rebuilt when the machine in use or its [token] section
// changed), the calling thread's impersonation token (null when it has none), and the one
// access checks use: the thread's when it impersonates, else the process's.
std::shared_ptr<TokenData> process_token();
std::shared_ptr<TokenData> thread_token();
void set_thread_token(std::shared_ptr<TokenData> token);
std::shared_ptr<TokenData> effective_token();

// Privilege names and their locally unique identifiers (the fixed values Windows uses).
bool privilege_luid(std::wstring_view name, LUID& out);
std::wstring privilege_name(const LUID& luid);

// Facts of a token.
bool token_privilege_enabled(const TokenData& token, std::wstring_view name);
// A group counts for granting access only when present and enabled (not deny-only).
bool token_group_enabled(const TokenData& token, const BYTE* sid);
// Administrators present and enabled in the effective token.
bool caller_is_administrator();

// The default [token] section written at machine creation (key=value lines).
std::vector<std::pair<std::string, std::string>> default_token_settings();

} // namespace win32
