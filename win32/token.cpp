#include "win32/token.h"

#include "win32/machine.h"
#include "win32/text.h"

#include <charconv>
#include <cstring>
#include <sys/stat.h>

namespace win32 {

namespace {

struct PrivilegeEntry {
    const wchar_t* name;
    DWORD luid;
};

// The identifiers are the fixed numbers Windows gives its privileges on every machine.
const PrivilegeEntry kPrivileges[] = {
    {L"SeCreateTokenPrivilege", 2},
    {L"SeAssignPrimaryTokenPrivilege", 3},
    {L"SeLockMemoryPrivilege", 4},
    {L"SeIncreaseQuotaPrivilege", 5},
    {L"SeMachineAccountPrivilege", 6},
    {L"SeTcbPrivilege", 7},
    {L"SeSecurityPrivilege", 8},
    {L"SeTakeOwnershipPrivilege", 9},
    {L"SeLoadDriverPrivilege", 10},
    {L"SeSystemProfilePrivilege", 11},
    {L"SeSystemtimePrivilege", 12},
    {L"SeProfileSingleProcessPrivilege", 13},
    {L"SeIncreaseBasePriorityPrivilege", 14},
    {L"SeCreatePagefilePrivilege", 15},
    {L"SeCreatePermanentPrivilege", 16},
    {L"SeBackupPrivilege", 17},
    {L"SeRestorePrivilege", 18},
    {L"SeShutdownPrivilege", 19},
    {L"SeDebugPrivilege", 20},
    {L"SeAuditPrivilege", 21},
    {L"SeSystemEnvironmentPrivilege", 22},
    {L"SeChangeNotifyPrivilege", 23},
    {L"SeRemoteShutdownPrivilege", 24},
    {L"SeUndockPrivilege", 25},
    {L"SeSyncAgentPrivilege", 26},
    {L"SeEnableDelegationPrivilege", 27},
    {L"SeManageVolumePrivilege", 28},
    {L"SeImpersonatePrivilege", 29},
    {L"SeCreateGlobalPrivilege", 30},
    {L"SeTrustedCredManAccessPrivilege", 31},
    {L"SeRelabelPrivilege", 32},
    {L"SeIncreaseWorkingSetPrivilege", 33},
    {L"SeTimeZonePrivilege", 34},
    {L"SeCreateSymbolicLinkPrivilege", 35},
    {L"SeDelegateSessionUserImpersonatePrivilege", 36},
};

// What an elevated administrator's token holds on a fresh Windows 10, and what of it is on.
constexpr const char* kDefaultPrivileges =
    "SeIncreaseQuotaPrivilege,SeSecurityPrivilege,SeTakeOwnershipPrivilege,"
    "SeLoadDriverPrivilege,SeSystemProfilePrivilege,SeSystemtimePrivilege,"
    "SeProfileSingleProcessPrivilege,SeIncreaseBasePriorityPrivilege,"
    "SeCreatePagefilePrivilege,SeBackupPrivilege,SeRestorePrivilege,SeShutdownPrivilege,"
    "SeDebugPrivilege,SeSystemEnvironmentPrivilege,SeChangeNotifyPrivilege,"
    "SeRemoteShutdownPrivilege,SeUndockPrivilege,SeManageVolumePrivilege,"
    "SeImpersonatePrivilege,SeCreateGlobalPrivilege,SeIncreaseWorkingSetPrivilege,"
    "SeTimeZonePrivilege,SeCreateSymbolicLinkPrivilege";
constexpr const char* kDefaultEnabledPrivileges =
    "SeChangeNotifyPrivilege,SeImpersonatePrivilege,SeCreateGlobalPrivilege";
constexpr const char* kDefaultUserSid = "S-1-5-21-3623811015-3361044348-30300820-1001";

std::vector<std::string> split_list(const std::string& v) {
    std::vector<std::string> items;
    std::size_t pos = 0;
    while (pos <= v.size()) {
        auto comma = v.find(',', pos);
        if (comma == std::string::npos)
            comma = v.size();
        std::string item = trim(std::string_view(v).substr(pos, comma - pos));
        if (!item.empty())
            items.push_back(item);
        pos = comma + 1;
    }
    return items;
}

struct ProcessTokenState {
    std::mutex mutex;
    std::string stamp;  // machine root and the identity of machine.ini when last looked at
    std::string source; // what the token was built from: machine root and [token] settings
    std::shared_ptr<TokenData> token;
};

ProcessTokenState& process_state() {
    static ProcessTokenState* s = new ProcessTokenState;
    return *s;
}

thread_local std::shared_ptr<TokenData> t_thread_token;

std::shared_ptr<TokenData> build_token(const Machine& m) {
    auto t = std::make_shared<TokenData>();
    std::string user = m.setting("token", "user_sid", kDefaultUserSid);
    t->user = sid_from_string(user);
    if (t->user.empty())
        t->user = sid_from_string(kDefaultUserSid);
    constexpr DWORD kOn = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
    t->groups.push_back({sid_from_string("S-1-1-0"), kOn});      // Everyone
    t->groups.push_back({sid_from_string("S-1-5-4"), kOn});      // INTERACTIVE
    t->groups.push_back({sid_from_string("S-1-5-11"), kOn});     // Authenticated Users
    t->groups.push_back({sid_from_string("S-1-5-32-545"), kOn}); // Users
    std::string admin = m.setting("token", "administrators", "enabled");
    if (admin == "enabled")
        t->groups.push_back({sid_from_string("S-1-5-32-544"), kOn | SE_GROUP_OWNER});
    else if (admin == "deny_only")
        t->groups.push_back({sid_from_string("S-1-5-32-544"), SE_GROUP_USE_FOR_DENY_ONLY});
    std::string held = m.setting("token", "privileges", kDefaultPrivileges);
    std::string enabled = m.setting("token", "enabled_privileges", kDefaultEnabledPrivileges);
    auto on = split_list(enabled);
    for (const auto& name : split_list(held)) {
        LUID luid{};
        if (!privilege_luid(from_utf8(name), luid))
            continue;
        DWORD attrs = 0;
        for (const auto& e : on)
            if (e == name)
                attrs = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
        t->privileges.push_back({luid, attrs});
    }
    return t;
}

} // namespace

SidBytes sid_from_string(std::string_view text) {
    if (!text.starts_with("S-1-"))
        return {};
    std::vector<std::uint64_t> parts;
    std::size_t pos = 4;
    while (pos <= text.size()) {
        auto dash = text.find('-', pos);
        if (dash == std::string_view::npos)
            dash = text.size();
        std::uint64_t v = 0;
        auto [end, ec] = std::from_chars(text.data() + pos, text.data() + dash, v);
        if (ec != std::errc() || end != text.data() + dash || dash == pos)
            return {};
        parts.push_back(v);
        pos = dash + 1;
    }
    if (parts.empty() || parts.size() > 16 || parts[0] >= (1ull << 48))
        return {};
    SidBytes sid;
    sid.push_back(1);
    sid.push_back(static_cast<BYTE>(parts.size() - 1));
    for (int i = 5; i >= 0; --i)
        sid.push_back(static_cast<BYTE>(parts[0] >> (8 * i)));
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (parts[i] > 0xFFFFFFFFu)
            return {};
        for (int b = 0; b < 4; ++b)
            sid.push_back(static_cast<BYTE>(parts[i] >> (8 * b)));
    }
    return sid;
}

std::string sid_to_string(const BYTE* sid) {
    std::uint64_t authority = 0;
    for (int i = 0; i < 6; ++i)
        authority = (authority << 8) | sid[2 + i];
    std::string out = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
    for (int i = 0; i < sid[1]; ++i) {
        DWORD v = 0;
        std::memcpy(&v, sid + 8 + 4 * i, 4);
        out += "-" + std::to_string(v);
    }
    return out;
}

std::shared_ptr<TokenData> TokenData::copy() const {
    auto t = std::make_shared<TokenData>();
    t->user = user;
    t->groups = groups;
    {
        std::lock_guard lock(mutex);
        t->privileges = privileges;
    }
    t->impersonation = impersonation;
    t->level = level;
    return t;
}

std::shared_ptr<TokenData> process_token() {
    Machine& m = Machine::current();
    // Cheap to ask often (every new file asks): the token is rebuilt only when machine.ini
    // changed, and then only if its [token] section did.
    std::string stamp = m.root().string();
    struct stat st {};
    if (::stat((m.root() / "machine.ini").c_str(), &st) == 0)
        stamp += "|" + std::to_string(st.st_ino) + "|" + std::to_string(st.st_mtim.tv_sec) + "." +
                 std::to_string(st.st_mtim.tv_nsec) + "|" + std::to_string(st.st_size);
    ProcessTokenState& s = process_state();
    std::lock_guard lock(s.mutex);
    if (s.token && s.stamp == stamp)
        return s.token;
    std::string source = m.root().string();
    for (const char* key : {"user_sid", "administrators", "privileges", "enabled_privileges"})
        source += "|" + m.setting("token", key, "\x01");
    s.stamp = stamp;
    if (!s.token || s.source != source) {
        s.token = build_token(m);
        s.source = source;
    }
    return s.token;
}

std::shared_ptr<TokenData> thread_token() {
    return t_thread_token;
}

void set_thread_token(std::shared_ptr<TokenData> token) {
    t_thread_token = std::move(token);
}

std::shared_ptr<TokenData> effective_token() {
    if (t_thread_token)
        return t_thread_token;
    return process_token();
}

bool privilege_luid(std::wstring_view name, LUID& out) {
    for (const auto& p : kPrivileges) {
        if (iequals(name, p.name)) {
            out = LUID{p.luid, 0};
            return true;
        }
    }
    return false;
}

std::wstring privilege_name(const LUID& luid) {
    for (const auto& p : kPrivileges)
        if (luid.HighPart == 0 && luid.LowPart == p.luid)
            return p.name;
    return {};
}

bool token_privilege_enabled(const TokenData& token, std::wstring_view name) {
    LUID luid{};
    if (!privilege_luid(name, luid))
        return false;
    std::lock_guard lock(token.mutex);
    for (const auto& p : token.privileges)
        if (p.luid.LowPart == luid.LowPart && p.luid.HighPart == luid.HighPart)
            return (p.attributes & SE_PRIVILEGE_ENABLED) != 0;
    return false;
}

bool token_group_enabled(const TokenData& token, const BYTE* sid) {
    std::size_t len = 8 + 4 * static_cast<std::size_t>(sid[1]);
    if (token.user.size() == len && std::memcmp(token.user.data(), sid, len) == 0)
        return true;
    for (const auto& g : token.groups)
        if (g.sid.size() == len && std::memcmp(g.sid.data(), sid, len) == 0)
            return (g.attributes & SE_GROUP_ENABLED) &&
                   !(g.attributes & SE_GROUP_USE_FOR_DENY_ONLY);
    return false;
}

bool caller_is_administrator() {
    static const SidBytes admins = sid_from_string("S-1-5-32-544");
    return token_group_enabled(*effective_token(), admins.data());
}

std::vector<std::pair<std::string, std::string>> default_token_settings() {
    return {{"user_sid", kDefaultUserSid},
            {"administrators", "enabled"},
            {"privileges", kDefaultPrivileges},
            {"enabled_privileges", kDefaultEnabledPrivileges}};
}

} // namespace win32
